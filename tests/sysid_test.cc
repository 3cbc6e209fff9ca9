// The identity record, with the host ID injected through a link-time seam:
// this executable defines gethostid, which takes precedence over the C
// library's for every object linked into it, the library's included.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "nivra_sysid.h"
#include "sysid_internal.h"

namespace {
long g_fake_host_id = 0;
}

extern "C" long gethostid(void) { return g_fake_host_id; }

namespace {

static_assert(sizeof(SYSID_INFO) == 2408);
static_assert(offsetof(SYSID_INFO, adapter_mode) == 0);
static_assert(offsetof(SYSID_INFO, id) == 808);
static_assert(offsetof(SYSID_INFO, desc) == 1608);

TEST(GetSysIdTest, FormatsTheHostIdAsEightUnsignedUpperCaseDigits) {
    const struct {
        long host_id;
        const char *text;
    } cases[] = {
        {0x1A2B3C, "001A2B3C"},
        {0, "00000000"},
        {0x0A1B2C3D, "0A1B2C3D"},
        {static_cast<long>(static_cast<int32_t>(0xDEADBEEFu)), "DEADBEEF"},  // sign-extended
        {0xFFFFFFFFL, "FFFFFFFF"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        g_fake_host_id = c.host_id;
        SYSID_INFO info;
        std::memset(&info, 0xA5, sizeof info);  // arbitrary bytes before the call
        ASSERT_EQ(Nivra_GetSysID(&info), 0);
        EXPECT_EQ(info.adapter_mode, 0);
        EXPECT_EQ(info.count, 1);
        EXPECT_STREQ(info.id[0], c.text);
        // Every byte other than the eight digits is zero.
        const unsigned char *raw = reinterpret_cast<const unsigned char *>(&info);
        const size_t id0 = offsetof(SYSID_INFO, id);
        for (size_t i = 8; i < sizeof info; ++i) {
            if (i >= id0 && i < id0 + 8) continue;
            ASSERT_EQ(raw[i], 0) << "byte " << i;
        }
    }
}

TEST(GetSysIdTest, NullRecordIsReportedAsFailure) { EXPECT_NE(Nivra_GetSysID(nullptr), 0); }

TEST(MacaddrCanonTest, DropsSeparatorsAndUpperCases) {
    const struct {
        const char *in, *out;
    } cases[] = {
        {"08:00:20:ab:cd:ef", "080020ABCDEF"},
        {"00-0a-95-9d-68-16", "000A959D6816"},
        {"080020ABCDEF", "080020ABCDEF"},
        {":-:--", ""},
        {"", ""},
        {"a.b c\xe9", "A.B C\xe9"},
    };
    for (const auto &c : cases) {
        char out[32];
        nivra::macaddr_canon1(out, c.in);
        EXPECT_STREQ(out, c.out) << c.in;
    }
}

}  // namespace
