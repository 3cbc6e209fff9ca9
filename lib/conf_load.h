// conf_load.h - the loader's entry points for the library's other units and
// its tests.  Internal to the library; not installed.
#ifndef NIVRA_CONF_LOAD_H
#define NIVRA_CONF_LOAD_H

#include <cstddef>
#include <cstdio>

#include "conf.h"

namespace nivra::conf {

// Reads a whole stream into the context's table (creating it if needed).
// Returns the table, or null after recording an error with its line.  The
// caller decides what becomes of ctx->table.
LH_TABLE *CONF_load_file(CONF_CTX *ctx, std::FILE *in);

// CONF_load on an open stream: reads it with CONF_load_file and, when that
// fails, drops the context's table with everything in it.  Returns the
// context's last error number.  The stream stays open.
int CONF_load_stream(CONF_CTX *ctx, std::FILE *in);

}  // namespace nivra::conf

#endif  // NIVRA_CONF_LOAD_H
