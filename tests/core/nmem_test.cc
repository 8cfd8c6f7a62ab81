#include "core/nmem.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/logging.h"
#include "support/test_support.h"

namespace {

TEST(Nmem, ObjectLayoutCountersZeroingAndStrings) {
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

    // Dirty a block first so that zeroing is not the allocator's doing.
    void *dirty = nmem_alloc(256, 0);
    memset(dirty, 0x5A, 256);
    nmem_free(dirty);
    auto *z = static_cast<char *>(nmem_alloc(256, NMEM_ZERO));
    EXPECT_EQ(std::string(z, 256), std::string(256, '\0'));
    nmem_free(z);
    void *e = nmem_alloc(0, 0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(nmem_hdr_of(e)->nh_size, 0u);
    nmem_free(e);

    char *s = n_strdup("qorv"), *out = nullptr, *empty = nullptr;
    EXPECT_STREQ(s, "qorv");
    EXPECT_EQ(nmem_hdr_of(s)->nh_size, 5u);
    EXPECT_EQ(n_asprintf(&out, "%s-%d", "core", 42), 7);
    EXPECT_STREQ(out, "core-42");
    EXPECT_EQ(nmem_hdr_of(out)->nh_size, 8u);
    EXPECT_EQ(n_asprintf(&empty, "%s", ""), 0);
    EXPECT_STREQ(empty, "");
    for (char *f : {s, out, empty})
        nmem_free(f);
}

void put16(char *at, uint16_t v) {
    memcpy(at, &v, 2);
}

using NmemDeathTest = ::testing::Test;

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

// The check counts what it finds before the stop.
TEST(Nmem, ChecksCountWhatTheyFind) {
    tr_set_echo(0);
    uint64_t over = nmem_stats.ns_overwritten, dup = nmem_stats.ns_dupfrees;
    auto *p = static_cast<char *>(nmem_alloc(3, 0));
    p[3] = 0;
    EXPECT_FALSE(nmem_check_free(nmem_hdr_of(p)));
    EXPECT_EQ(nmem_stats.ns_overwritten, over + 1);
    p[-1] = 0;
    put16(p + 3, NMEM_FREE);
    EXPECT_FALSE(nmem_check_free(nmem_hdr_of(p)));
    EXPECT_EQ(nmem_stats.ns_dupfrees, dup + 1);
    EXPECT_EQ(nmem_stats.ns_overwritten, over + 1);
    put16(p - 2, NMEM_LIVE);
    put16(p + 3, NMEM_LIVE);
    nmem_free(p);
}

}  // namespace
