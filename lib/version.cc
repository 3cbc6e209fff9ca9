// version.cc - the library's version text.
#include "version.h"

namespace {
// NIVRA_VERSION_TEXT comes from project(VERSION) in the top CMakeLists.txt,
// the one place the version is written.
constexpr char kVersion[] = NIVRA_VERSION_TEXT;
}  // namespace

extern "C" const char *Nivra_GetVersion(void) { return kVersion; }
