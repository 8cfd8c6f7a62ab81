// Object pools and the publication of the memory statistics.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/kv.h"
#include "core/logging.h"
#include "core/netctl/netctl_vars.h"
#include "core/nmem.h"

namespace {

using ::testing::HasSubstr;

template <class F>
std::string echoed(F fn) {
    testing::internal::CaptureStdout();
    tr_set_echo(1);
    fn();
    fflush(stdout);
    tr_set_echo(0);
    return testing::internal::GetCapturedStdout();
}

// Death-test statements send the log echo to stderr so that the warning
// texts can be matched along with the assertion stop.
void echo_to_stderr() {
    fflush(stdout);
    tr_set_echo(1);
    dup2(2, 1);
}

uintptr_t addr(const void *p) {
    return reinterpret_cast<uintptr_t>(p);
}

TEST(NmemPool, CreateRefusesObjectsTooSmallForTheFreeLink) {
    struct nmem_pool *np = reinterpret_cast<struct nmem_pool *>(1);
    std::string out = echoed([&] { np = nmem_pool_create("tiny", 4, 7, 0); });
    EXPECT_EQ(np, nullptr);
    EXPECT_THAT(out, HasSubstr(" ERROR nmem_pool_create: error min size 8 required\n"));

    uint64_t pools = nmem_stats.ns_pools, live = nmem_stats.ns_alloced_objs;
    out = echoed([&] { np = nmem_pool_create("eight", 4, 8, 0); });
    ASSERT_NE(np, nullptr);
    EXPECT_THAT(out,
                HasSubstr(" INFO nmem_pool_create: memory pool created for eight of 4 objects\n"));
    // The descriptor and the items block are heap objects of their own.
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live + 2);
    EXPECT_EQ(nmem_stats.ns_pools, pools + 1);
    EXPECT_EQ(np->np_max, 4u);
    EXPECT_EQ(np->np_avail, 4u);
    EXPECT_EQ(nmem_hdr_of(np->np_items)->nh_size, np->np_total);
    nmem_pool_destroy(np);
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live);
    EXPECT_EQ(nmem_stats.ns_pools, pools);
}

TEST(NmemPool, ItemsBlockThatWouldWrapIsRefusedWithoutLeaking) {
    uint64_t live = nmem_stats.ns_alloced_objs, pools = nmem_stats.ns_pools;
    struct {
        int count;
        uint32_t size;
    } cases[] = {
        {10, 429496730u},  // (size + 10) * 10 wraps to 104 in 32 bits
        {1, 0xFFFFFFFFu},  // size + 10 wraps to 9
        {65536, 65536u},   // 2^32 + 655360 bytes
        {-1, 64u},         // a negative count
    };
    for (const auto &c : cases) {
        struct nmem_pool *np = nullptr;
        std::string out = echoed([&] { np = nmem_pool_create("huge", c.count, c.size, 0); });
        EXPECT_EQ(np, nullptr) << c.count << " x " << c.size;
        EXPECT_THAT(out, HasSubstr(" ERROR nmem_pool_create: pool items alloc failed\n"));
    }
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live);
    EXPECT_EQ(nmem_stats.ns_pools, pools);
}

TEST(NmemPool, EmptyPoolCountsRefusalsInThePoolOnly) {
    struct nmem_pool *np = nmem_pool_create("none", 0, 32, 0);
    ASSERT_NE(np, nullptr);
    uint64_t errors = nmem_stats.ns_alloc_errors, allocs = nmem_stats.ns_pool_allocs;
    EXPECT_EQ(nmem_pool_alloc(np), nullptr);
    EXPECT_EQ(nmem_pool_alloc(np), nullptr);
    EXPECT_EQ(np->np_alloc_failures, 2u);
    EXPECT_EQ(nmem_stats.ns_alloc_errors, errors);
    EXPECT_EQ(nmem_stats.ns_pool_allocs, allocs);
    EXPECT_EQ(nmem_pool_alloc(nullptr), nullptr);
    nmem_pool_destroy(np);
}

TEST(NmemPool, HandsOutHighestFirstAndReusesTheLastFreed) {
    struct nmem_pool *np = nmem_pool_create("abc", 3, 21, 0);
    ASSERT_NE(np, nullptr);
    void *a = nmem_pool_alloc(np);
    void *b = nmem_pool_alloc(np);
    void *c = nmem_pool_alloc(np);
    ASSERT_TRUE(a && b && c);
    EXPECT_GT(addr(a), addr(b));
    EXPECT_GT(addr(b), addr(c));
    // Objects do not overlap, lie inside the items block, and keep the
    // 8-byte alignment that heap objects have.
    EXPECT_GE(addr(a) - addr(b), 21u + 10u);
    EXPECT_EQ(addr(c), addr(np->np_items) + 8);
    EXPECT_LE(addr(a) + 21 + 2, addr(np->np_items) + np->np_total);
    for (void *p : {a, b, c})
        EXPECT_EQ(addr(p) % 8, 0u);
    EXPECT_EQ(nmem_pool_alloc(np), nullptr);
    EXPECT_EQ(np->np_alloc_failures, 1u);

    nmem_pool_free(np, b);
    EXPECT_EQ(nmem_pool_alloc(np), b);
    nmem_pool_free(np, a);
    nmem_pool_free(np, c);
    EXPECT_EQ(nmem_pool_alloc(np), c);  // last freed, first reused
    EXPECT_EQ(nmem_pool_alloc(np), a);
    for (void *p : {a, b, c})
        nmem_pool_free(np, p);
    EXPECT_EQ(np->np_avail, 3u);
    nmem_pool_destroy(np);
}

TEST(NmemPool, ObjectsAreGuardedLikeHeapObjects) {
    struct nmem_pool *np = nmem_pool_create("guards", 2, 13, 0);
    auto *p = static_cast<uint8_t *>(nmem_pool_alloc(np));
    nmem_hdr *h = nmem_hdr_of(p);
    EXPECT_EQ(h->nh_size, 13u);
    EXPECT_EQ(h->nh_guard, NMEM_LIVE);
    EXPECT_EQ(nmem_trailer_get(h), NMEM_LIVE);
    nmem_pool_free(np, p);
    EXPECT_EQ(h->nh_guard, NMEM_FREE);
    EXPECT_EQ(nmem_trailer_get(h), NMEM_FREE);
    nmem_pool_destroy(np);
}

TEST(NmemPool, ZeroFlagClearsAReusedObjectAndItsLink) {
    struct nmem_pool *np = nmem_pool_create("zero", 2, 40, NMEM_ZERO);
    auto *first = static_cast<uint8_t *>(nmem_pool_alloc(np));
    auto *second = static_cast<uint8_t *>(nmem_pool_alloc(np));
    memset(first, 0xFF, 40);
    memset(second, 0xFF, 40);
    nmem_pool_free(np, second);
    nmem_pool_free(np, first);  // first now links to second
    auto *again = static_cast<uint8_t *>(nmem_pool_alloc(np));
    ASSERT_EQ(again, first);
    for (int i = 0; i < 40; i++)
        ASSERT_EQ(again[i], 0) << i;
    nmem_pool_free(np, again);
    nmem_pool_destroy(np);

    // Without the flag the data is the caller's to initialise.
    np = nmem_pool_create("dirty", 1, 16, 0);
    auto *d = static_cast<uint8_t *>(nmem_pool_alloc(np));
    memset(d, 0xEE, 16);
    nmem_pool_free(np, d);
    d = static_cast<uint8_t *>(nmem_pool_alloc(np));
    EXPECT_EQ(d[15], 0xEE);
    nmem_pool_free(np, d);
    nmem_pool_destroy(np);
}

TEST(NmemPool, CountersAndPoolListTrackEveryStep) {
    uint64_t pools = nmem_stats.ns_pools, pa = nmem_stats.ns_pool_allocs,
             pf = nmem_stats.ns_pool_frees;
    struct nmem_pool *p1 = nmem_pool_create("one", 2, 8, 0);
    struct nmem_pool *p2 = nmem_pool_create("two", 2, 8, 0);
    EXPECT_EQ(nmem_stats.ns_pools, pools + 2);
    // New pools go to the head of the list.
    EXPECT_EQ(nmem_pool_first(), p2);
    EXPECT_EQ(nmem_pool_next(p2), p1);
    void *x = nmem_pool_alloc(p1);
    void *y = nmem_pool_alloc(p2);
    EXPECT_EQ(nmem_stats.ns_pool_allocs, pa + 2);
    nmem_pool_free(p1, x);
    nmem_pool_free(p2, y);
    EXPECT_EQ(nmem_stats.ns_pool_frees, pf + 2);
    nmem_pool_destroy(p2);
    EXPECT_EQ(nmem_pool_first(), p1);
    EXPECT_EQ(nmem_pool_next(p1), nullptr);
    nmem_pool_destroy(p1);
    EXPECT_EQ(nmem_pool_first(), nullptr);
    EXPECT_EQ(nmem_stats.ns_pools, pools);
}

using NmemPoolDeathTest = ::testing::Test;

TEST_F(NmemPoolDeathTest, SecondFreeIsADuplicateFree) {
    EXPECT_DEATH(
        {
            echo_to_stderr();
            struct nmem_pool *np = nmem_pool_create("dup", 2, 16, 0);
            void *p = nmem_pool_alloc(np);
            nmem_pool_free(np, p);
            nmem_pool_free(np, p);
        },
        "WARN nmem_duplicatefree: duplicate free obj 0x[0-9a-f]+ size 16\n"
        "(.|\n)*src/core/nmem.cc:[0-9]+: nmem_pool_free: Assertion `nmem_check_free\\(h\\)' "
        "failed");
}

TEST_F(NmemPoolDeathTest, CountsTheDuplicateFreeBeforeStopping) {
    EXPECT_EXIT(
        {
            tr_set_echo(0);
            struct nmem_pool *np = nmem_pool_create("dup", 1, 16, 0);
            void *p = nmem_pool_alloc(np);
            nmem_pool_free(np, p);
            uint64_t before = nmem_stats.ns_dupfrees;
            bool ok = nmem_check_free(nmem_hdr_of(p));
            _exit(!ok && nmem_stats.ns_dupfrees == before + 1 ? 7 : 1);
        },
        ::testing::ExitedWithCode(7), "");
}

TEST_F(NmemPoolDeathTest, WritePastAnAllocatedObjectStopsOnFree) {
    EXPECT_DEATH(
        {
            echo_to_stderr();
            struct nmem_pool *np = nmem_pool_create("past", 2, 16, 0);
            auto *p = static_cast<char *>(nmem_pool_alloc(np));
            p[16] = 'x';
            nmem_pool_free(np, p);
        },
        "WARN nmem_overwritten: alloced memory object overwritten obj 0x[0-9a-f]+ size 16\n"
        "(.|\n)*nmem_pool_free: Assertion");
}

TEST_F(NmemPoolDeathTest, DamageToAFreeObjectIsCaughtWhenItIsHandedOut) {
    // The trailer of the next free object.
    EXPECT_DEATH(
        {
            echo_to_stderr();
            struct nmem_pool *np = nmem_pool_create("trail", 2, 16, 0);
            char *top = reinterpret_cast<char *>(np->np_free);
            top[8 + 16] = 0;
            nmem_pool_alloc(np);
        },
        "WARN nmem_overwritten: freed memory object overwritten obj 0x[0-9a-f]+ size 16\n"
        "(.|\n)*src/core/nmem.cc:[0-9]+: nmem_pool_alloc: Assertion");
    // The free-list link of a freed object (a write after free): the list
    // must not follow it out of the items block.
    EXPECT_DEATH(
        {
            echo_to_stderr();
            struct nmem_pool *np = nmem_pool_create("link", 2, 16, 0);
            auto *p = static_cast<char *>(nmem_pool_alloc(np));
            nmem_pool_free(np, p);
            memcpy(p, "\x01\x02\x03\x04\x05\x06\x07\x08", 8);
            nmem_pool_alloc(np);
        },
        "nmem_overwritten: freed memory object overwritten obj 0x[0-9a-f]+ size 16\n"
        "(.|\n)*nmem_pool_alloc: Assertion");
    // A size field that no longer matches the pool's.
    EXPECT_DEATH(
        {
            echo_to_stderr();
            struct nmem_pool *np = nmem_pool_create("size", 2, 16, 0);
            np->np_free->nh_size = 4000;
            nmem_pool_alloc(np);
        },
        "nmem_overwritten: freed memory object overwritten obj 0x[0-9a-f]+ size 4000\n");
}

TEST_F(NmemPoolDeathTest, FreeIntoAFullPoolOrAnotherSizeStops) {
    EXPECT_DEATH(
        {
            struct nmem_pool *a = nmem_pool_create("a", 1, 16, 0);
            struct nmem_pool *b = nmem_pool_create("b", 1, 16, 0);
            void *p = nmem_pool_alloc(a);
            nmem_pool_free(b, p);
        },
        "nmem_pool_free: Assertion `np->np_avail < np->np_max' failed");
    EXPECT_DEATH(
        {
            struct nmem_pool *a = nmem_pool_create("a", 1, 16, 0);
            struct nmem_pool *b = nmem_pool_create("b", 2, 32, 0);
            nmem_pool_alloc(b);
            nmem_pool_free(b, nmem_pool_alloc(a));
        },
        "nmem_pool_free: Assertion `h->nh_size == np->np_size' failed");
    EXPECT_DEATH(
        {
            struct nmem_pool *a = nmem_pool_create("a", 1, 16, 0);
            nmem_pool_free(nullptr, nmem_pool_alloc(a));
        },
        "nmem_pool_free: Assertion `np != \\(\\(void \\*\\)0\\)' failed");
}

TEST_F(NmemPoolDeathTest, DestroyWithObjectsOutStops) {
    EXPECT_DEATH(
        {
            echo_to_stderr();
            struct nmem_pool *np = nmem_pool_create("busy", 3, 16, 0);
            nmem_pool_alloc(np);
            nmem_pool_destroy(np);
        },
        "ERROR nmem_pool_destroy: some objs are allocated pool 0x[0-9a-f]+ avail 2 max 3\n"
        "(.|\n)*nmem_pool_destroy: Assertion");
    EXPECT_DEATH(nmem_pool_destroy(nullptr), "nmem_pool_destroy: Assertion");
}

// nmem_mod publishes the statistics block under "core.nmem.stats".
TEST(NmemMod, PublishesTheEightExportedCounters) {
    nmem_mod_init(nullptr);
    struct kv_head *kh = kv_head_first();
    ASSERT_NE(kh, nullptr);
    EXPECT_STREQ(kh->kh_name, "nmemstats");
    EXPECT_EQ(kh->kh_type, 2);
    EXPECT_EQ(kh->kh_flags, 0x02);
    EXPECT_EQ(kh->kh_size, 72);
    ASSERT_EQ(kh->kh_nvars, 8);
    const char *names[] = {"pools",       "allocs",       "frees",    "alloced_objs",
                           "pool_allocs", "alloc_errors", "dupfrees", "overwritten"};
    const uint16_t offsets[] = {0, 8, 16, 24, 32, 48, 56, 64};
    for (int i = 0; i < 8; i++) {
        EXPECT_STREQ(kh->kh_vars[i].kv_name, names[i]);
        EXPECT_EQ(kh->kh_vars[i].kv_offset, offsets[i]);
        EXPECT_EQ(kh->kh_vars[i].kv_type, KV_T_U64);
        EXPECT_EQ(kh->kh_vars[i].kv_size, 8);
    }

    struct nmem_pool *np = nmem_pool_create("seen", 1, 8, 0);
    struct netctl_node *node = netctl_lookup(nullptr, "core.nmem.stats", 15, 0);
    ASSERT_NE(node, nullptr);
    ASSERT_NE(node->nctl_leaf, nullptr);
    EXPECT_STREQ(node->nctl_leaf->nl_name, "core.nmem.stats");

    alignas(8) static char data[NETCTL_DATA_SIZE];
    std::vector<uint64_t> expect = {nmem_stats.ns_pools,       nmem_stats.ns_allocs,
                                    nmem_stats.ns_frees,       nmem_stats.ns_alloced_objs,
                                    nmem_stats.ns_pool_allocs, nmem_stats.ns_alloc_errors,
                                    nmem_stats.ns_dupfrees,    nmem_stats.ns_overwritten};
    int n;
    {
        netctl_tree_guard g;
        n = node->nctl_leaf->nl_ops->nlo_read_all(node, data, nullptr);
    }
    ASSERT_EQ(n, 8 * 224);
    auto *r = reinterpret_cast<struct kv_record *>(data);
    for (int i = 0; i < 8; i++) {
        EXPECT_STREQ(r[i].kr_name, names[i]);
        EXPECT_EQ(r[i].kr_value.u64, expect[i]) << names[i];
    }
    EXPECT_GE(r[0].kr_value.u64, 1u);  // the pool made above

    // A single variable comes with the head's name.
    strcpy(data, "pool_allocs");
    {
        netctl_tree_guard g;
        n = node->nctl_leaf->nl_ops->nlo_read(node, data, nullptr);
    }
    ASSERT_EQ(n, 224);
    EXPECT_STREQ(r->kr_name, "pool_allocs");
    EXPECT_STREQ(r->kr_head, "nmemstats");
    EXPECT_EQ(r->kr_value.u64, nmem_stats.ns_pool_allocs);
    nmem_pool_destroy(np);
}

}  // namespace
