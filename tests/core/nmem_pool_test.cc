// Object pools and the publication of the memory statistics.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/kv.h"
#include "core/logging.h"
#include "core/netctl/netctl_vars.h"
#include "core/nmem.h"
#include "support/test_support.h"

namespace {

using ::testing::HasSubstr;

uintptr_t addr(const void *p) {
    return reinterpret_cast<uintptr_t>(p);
}

TEST(NmemPool, RefusesTooSmallAndWrappingSizesWithoutLeaking) {
    uint64_t live = nmem_stats.ns_alloced_objs, pools = nmem_stats.ns_pools;
    std::string out = qt::echoed([] { EXPECT_EQ(nmem_pool_create("tiny", 4, 7, 0), nullptr); });
    EXPECT_THAT(out, HasSubstr(" ERROR nmem_pool_create: error min size 8 required\n"));
    // (size + 10) x count wraps in 32 bits; so does size + 10; a negative count.
    const std::pair<int, uint32_t> wrapping[] = {{10, 429496730u}, {1, 0xFFFFFFFFu}, {-1, 64u}};
    for (auto w : wrapping) {
        out = qt::echoed([&] { EXPECT_EQ(nmem_pool_create("huge", w.first, w.second, 0), nullptr); });
        EXPECT_THAT(out, HasSubstr(" ERROR nmem_pool_create: pool items alloc failed\n"));
    }
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live);
    EXPECT_EQ(nmem_stats.ns_pools, pools);
    struct nmem_pool *np = nmem_pool_create("none", 0, 8, 0);
    EXPECT_EQ(nmem_pool_alloc(np), nullptr);
    EXPECT_EQ(nmem_pool_alloc(np), nullptr);
    EXPECT_EQ(np->np_alloc_failures, 2u);
    nmem_pool_destroy(np);
}

TEST(NmemPool, HighestFirstLastFreedFirstAndCounted) {
    uint64_t pa = nmem_stats.ns_pool_allocs, pf = nmem_stats.ns_pool_frees;
    struct nmem_pool *other = nmem_pool_create("other", 1, 8, 0);
    struct nmem_pool *np = nmem_pool_create("abc", 3, 21, 0);
    EXPECT_EQ(nmem_pool_next(nmem_pool_first()), other);  // new pools at the head
    void *a = nmem_pool_alloc(np), *b = nmem_pool_alloc(np), *c = nmem_pool_alloc(np);
    EXPECT_GT(addr(a), addr(b));
    EXPECT_GT(addr(b), addr(c));
    EXPECT_EQ(addr(a), addr(np->np_items) + np->np_last + 8);
    EXPECT_EQ(addr(c), addr(np->np_items) + 8);
    EXPECT_GE(addr(a) - addr(b), 31u);  // no overlap, all inside the block
    EXPECT_LE(addr(a) + 21 + 2, addr(np->np_items) + np->np_total);
    EXPECT_EQ((addr(a) | addr(b) | addr(c)) % 8, 0u);  // aligned like heap objects
    nmem_pool_free(np, b);
    EXPECT_EQ(nmem_pool_alloc(np), b);
    nmem_pool_free(np, a);
    nmem_pool_free(np, c);
    EXPECT_EQ(nmem_pool_alloc(np), c);
    EXPECT_EQ(nmem_stats.ns_pool_allocs - pa + nmem_stats.ns_pool_frees - pf, 5u + 3u);
}

TEST(NmemPool, ZeroFlagClearsAReusedObjectAndItsLink) {
    struct nmem_pool *np = nmem_pool_create("zero", 2, 40, NMEM_ZERO);
    auto *first = static_cast<uint8_t *>(nmem_pool_alloc(np));
    auto *second = static_cast<uint8_t *>(nmem_pool_alloc(np));
    memset(first, 0xFF, 40);
    nmem_pool_free(np, second);
    nmem_pool_free(np, first);  // first's link now points at second
    ASSERT_EQ(nmem_pool_alloc(np), first);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(first), 40), std::string(40, '\0'));
}

// Each case acts on a pool of three 16-byte objects, one of them (p)
// allocated.  With the head guard and the size field written over, the
// pool's own object size still finds the trailer, and its free mark; a
// write into an object never handed out is caught as it is, and a write
// after free into the link must not lead the list to one of those.
TEST(NmemPoolDeathTest, DamageAndMisuseStop) {
    const std::string freed = "WARN nmem_overwritten: freed memory object overwritten obj "
                              "0x[0-9a-f]+ size 16\n(.|\n)*src/core/nmem.cc:[0-9]+: "
                              "nmem_pool_alloc: Assertion `free pool object left alone";
    const struct {
        void (*act)(struct nmem_pool *np, char *p);
        std::string want;
    } cases[] = {
        {[](struct nmem_pool *np, char *p) { nmem_pool_free(np, p), nmem_pool_free(np, p); },
         "WARN nmem_duplicatefree: duplicate free obj 0x[0-9a-f]+ size 16\n(.|\n)*src/core/"
         "nmem.cc:[0-9]+: nmem_pool_free: Assertion `nmem_check_free\\(h\\)' failed"},
        {[](struct nmem_pool *np, char *p) { nmem_pool_free(np, p - 32); },  // never handed out
         "WARN nmem_duplicatefree: duplicate free obj 0x[0-9a-f]+ size 16\n(.|\n)*"
         "nmem_pool_free: Assertion `nmem_check_free\\(h\\)' failed"},
        {[](struct nmem_pool *np, char *p) {
             memset(p - 8, 'x', 8), memcpy(p + 16, "\xAD\xDE", 2), nmem_pool_free(np, p);
         },
         "WARN nmem_duplicatefree: duplicate free obj 0x[0-9a-f]+ size 2021161080\n"
         "(.|\n)*nmem_pool_free: Assertion `nmem_check_free\\(h\\)' failed"},
        {[](struct nmem_pool *np, char *p) { p[-32 + 16] = 1, nmem_pool_alloc(np); }, freed},
        {[](struct nmem_pool *np, char *p) {
             nmem_pool_free(np, p), memcpy(p, &np->np_items, 8);
             nmem_pool_alloc(np);
         },
         freed},
        {[](struct nmem_pool *np, char *) { nmem_pool_destroy(np); },
         "ERROR nmem_pool_destroy: some objs are allocated pool 0x[0-9a-f]+ avail 2 max 3\n"
         "(.|\n)*nmem_pool_destroy: Assertion `every pool object freed"},
    };
    for (const auto &c : cases) {
        EXPECT_DEATH(
            {
                qt::echo_to_stderr();
                struct nmem_pool *np = nmem_pool_create("t", 3, 16, 0);
                c.act(np, static_cast<char *>(nmem_pool_alloc(np)));
            },
            c.want);
    }
    struct nmem_pool *full = nmem_pool_create("full", 1, 16, 0);
    struct nmem_pool *big = nmem_pool_create("big", 2, 32, 0);
    EXPECT_DEATH(nmem_pool_free(full, nmem_pool_alloc(big)),
                 "nmem_pool_free: Assertion `np->np_avail < np->np_max' failed");
    nmem_pool_alloc(big);
    EXPECT_DEATH(nmem_pool_free(big, nmem_pool_alloc(full)),
                 "nmem_pool_free: Assertion `h->nh_size == np->np_size' failed");
}

// Objects never handed out cost no memory; a pool created, partly used and
// destroyed gives everything back.
TEST(NmemPool, UntouchedObjectsAreNotResident) {
    const uint64_t live = nmem_stats.ns_alloced_objs;
    struct nmem_pool *np = nmem_pool_create("lazy", 16384, 4096 - 10, NMEM_ZERO);
    std::vector<void *> used(1000);
    for (void *&p : used)
        p = nmem_pool_alloc(np);
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    char *far = np->np_items + 8000 * 4096;  // far below the objects used
    unsigned char in = 1;
    ASSERT_EQ(mincore(far - uintptr_t(far) % page, page, &in), 0);
    EXPECT_EQ(in & 1, 0);
    for (void *p : used)
        nmem_pool_free(np, p);
    nmem_pool_destroy(np);
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live);
}

TEST(NmemMod, PublishesTheStatisticsBlock) {
    nmem_mod_init(nullptr);
    struct kv_head *kh = kv_head_first();
    EXPECT_EQ(kh->kh_vars[5].kv_offset, 48);  // pool frees at 40 are not listed
    struct nmem_pool *np = nmem_pool_create("seen", 1, 8, 0);
    nmem_pool_alloc(np);
    struct netctl_node *node = netctl_lookup(nullptr, "core.nmem.stats", 15, 0);
    alignas(8) static char data[NETCTL_DATA_SIZE] = "pool_allocs";
    netctl_tree_lock();
    ASSERT_EQ(node->nctl_leaf->nl_ops->nlo_read(node, data, nullptr), 224);
    netctl_tree_unlock();
    auto *r = reinterpret_cast<struct kv_record *>(data);
    EXPECT_STREQ(r->kr_head, "nmemstats");
    EXPECT_EQ(r->kr_value.u64, nmem_stats.ns_pool_allocs);
    EXPECT_GE(r->kr_value.u64, 1u);
}

}  // namespace
