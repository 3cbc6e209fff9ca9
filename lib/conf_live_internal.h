// conf_live_internal.h - a live configuration's read side, seen from tests.
// Internal to the library; not installed.
#ifndef NIVRA_CONF_LIVE_INTERNAL_H
#define NIVRA_CONF_LIVE_INTERNAL_H

#include <cstddef>

#include "conf_live.h"

namespace nivra::conf {

// Contexts replaced by a reload and not yet freed.
size_t live_retired_count(const CONF_LIVE *live);
// Slots that hold a context (pending holds included).
size_t live_held_count(const CONF_LIVE *live);

}  // namespace nivra::conf

#endif  // NIVRA_CONF_LIVE_INTERNAL_H
