// nivra_sysid.cc - fills the system identity record from the host ID.
//
// Shipped alone as nivra_sysid.o next to nivra_utils.o, so it may use only
// lc_snprintf from that module and the C library.
#include "nivra_sysid.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "nivra_utils.h"
#include "sysid_internal.h"

static_assert(sizeof(SYSID_INFO) == 8 + 3 * SYSID_MAX_ENTRIES * SYSID_FIELD_LEN,
              "SYSID_INFO must have no padding");
static_assert(offsetof(SYSID_INFO, count) == 4);
static_assert(offsetof(SYSID_INFO, name) == 8);
static_assert(offsetof(SYSID_INFO, id) == 8 + SYSID_MAX_ENTRIES * SYSID_FIELD_LEN);
static_assert(offsetof(SYSID_INFO, desc) == 8 + 2 * SYSID_MAX_ENTRIES * SYSID_FIELD_LEN);

extern "C" int32_t Nivra_GetSysID(SYSID_INFO *info) {
    if (info == nullptr) return -1;
    std::memset(info, 0, sizeof *info);
    // gethostid's long carries a 32-bit identifier, sign-extended on LP64
    // hosts; the identifier is its low 32 bits read as unsigned.
    const auto host_id = static_cast<uint32_t>(gethostid());
    info->count = 1;
    info->adapter_mode = 0;
    lc_snprintf(info->id[0], SYSID_FIELD_LEN, "%08X", static_cast<unsigned>(host_id));
    return 0;
}
