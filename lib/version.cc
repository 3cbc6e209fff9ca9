// version.cc - the library's version text.
#include "version.h"

namespace {
constexpr char kVersion[] = "1.5.1.3";
}  // namespace

extern "C" const char *Nivra_GetVersion(void) { return kVersion; }
