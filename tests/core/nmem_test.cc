#include "core/nmem.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "core/logging.h"
#include "support/test_support.h"

namespace {

TEST(Nmem, ObjectLayoutAndCounters) {
    struct nmem_stats before = nmem_stats;
    auto *p = static_cast<uint8_t *>(nmem_alloc(13, 0));
    ASSERT_NE(p, nullptr);
    nmem_hdr *h = nmem_hdr_of(p);
    EXPECT_EQ(h->nh_size, 13u);
    EXPECT_EQ(h->nh_guard, 0xA5A5);
    // The trailer sits right after the data, at an odd address here.
    uint16_t trailer;
    memcpy(&trailer, p + 13, 2);
    EXPECT_EQ(trailer, 0xA5A5);
    EXPECT_EQ(nmem_stats.ns_allocs, before.ns_allocs + 1);
    EXPECT_EQ(nmem_stats.ns_alloced_objs, before.ns_alloced_objs + 1);
    nmem_free(p);
    EXPECT_EQ(nmem_stats.ns_frees, before.ns_frees + 1);
    EXPECT_EQ(nmem_stats.ns_alloced_objs, before.ns_alloced_objs);
}

TEST(Nmem, ZeroFlagAndEmptyObject) {
    // Dirty a block first so that zeroing is not the allocator's doing.
    void *dirty = nmem_alloc(256, 0);
    memset(dirty, 0x5A, 256);
    nmem_free(dirty);
    auto *z = static_cast<uint8_t *>(nmem_alloc(256, NMEM_ZERO));
    for (int i = 0; i < 256; i++)
        ASSERT_EQ(z[i], 0) << i;
    nmem_free(z);

    void *e = nmem_alloc(0, 0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(nmem_hdr_of(e)->nh_size, 0u);
    nmem_free(e);
}

TEST(Nmem, StringsAreExactlySized) {
    char *s = n_strdup("qorv");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "qorv");
    EXPECT_EQ(nmem_hdr_of(s)->nh_size, 5u);
    nmem_free(s);

    char *out = nullptr;
    int n = n_asprintf(&out, "%s-%d", "core", 42);
    ASSERT_EQ(n, 7);
    EXPECT_STREQ(out, "core-42");
    EXPECT_EQ(nmem_hdr_of(out)->nh_size, 8u);
    nmem_free(out);

    out = nullptr;
    EXPECT_EQ(n_asprintf(&out, "%s", ""), 0);
    EXPECT_STREQ(out, "");
    nmem_free(out);
}

using NmemDeathTest = ::testing::Test;

void put16(char *at, uint16_t v) {
    memcpy(at, &v, 2);
}

// Damage around an object and second frees stop on the free, after their
// warning; without the general category the warning is silent but the stop
// still happens.  A free mark in the trailer is a second free whatever the
// head guard holds, as long as the size field still finds the trailer
// inside the block; a size field sent outside it is damage.
TEST_F(NmemDeathTest, DamageAndSecondFreesStopWithTheirWarnings) {
    const struct {
        uint32_t size;
        void (*damage)(char *p);
        int frees;
        bool quiet;
        const char *want;
    } cases[] = {
        {16, [](char *p) { p[16] = 'x'; }, 1, false,
         "WARN nmem_overwritten: alloced memory object overwritten obj 0x[0-9a-f]+ size 16\n"
         "(.|\n)*src/core/nmem.cc:[0-9]+: nmem_free: Assertion `nmem_check_free\\(h\\)' failed"},
        {16, [](char *p) { p[-1] = 'x'; }, 1, false,
         "nmem_overwritten: alloced memory object overwritten obj 0x[0-9a-f]+ size 16"},
        {8, [](char *p) { p[8] = 'x'; }, 1, true, "^[^W]*nmem_free: Assertion"},
        {5, [](char *p) { p[-1] = 'x', put16(p + 5, 0xDEAD); }, 1, false,
         "WARN nmem_duplicatefree: duplicate free obj 0x[0-9a-f]+ size 5\n"},
        {5, [](char *p) { p[-1] = 'x', put16(p - 8 + 2, 0x7fff), put16(p + 5, 0xDEAD); }, 1,
         false, "WARN nmem_overwritten: alloced memory object overwritten obj 0x[0-9a-f]+ size "
                "2147418117\n"},
#ifndef QORV_SANITIZED
        // A freed heap object keeps its free marks (the allocator's own
        // links are kept clear of the header), so a second free is told
        // apart from damage.  Under AddressSanitizer the sanitizer reports
        // the second free itself.
        {24, [](char *) {}, 2, false,
         "WARN nmem_duplicatefree: duplicate free obj 0x[0-9a-f]+ size 24\n"
         "(.|\n)*src/core/nmem.cc:[0-9]+: nmem_free: Assertion"},
        {0, [](char *) {}, 2, false, "nmem_duplicatefree: duplicate free obj 0x[0-9a-f]+ size 0"},
#endif
    };
    for (const auto &c : cases) {
        EXPECT_DEATH(
            {
                qt::echo_to_stderr();
                if (c.quiet) tr_mask = 0;
                auto *p = static_cast<char *>(nmem_alloc(c.size, 0));
                c.damage(p);
                for (int i = 0; i < c.frees; i++)
                    nmem_free(p);
            },
            c.want)
            << c.size;
    }
}

TEST_F(NmemDeathTest, CountsTheOverwriteBeforeStopping) {
    EXPECT_EXIT(
        {
            uint64_t before = nmem_stats.ns_overwritten;
            tr_set_echo(0);
            auto *p = static_cast<char *>(nmem_alloc(3, 0));
            p[3] = 0;
            nmem_hdr *h = nmem_hdr_of(p);
            bool ok = nmem_check_free(h);
            _exit(!ok && nmem_stats.ns_overwritten == before + 1 ? 7 : 1);
        },
        ::testing::ExitedWithCode(7), "");
}

}  // namespace
