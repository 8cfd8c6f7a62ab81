// Allocation failures inside kvm_create and kvs_create: every one is
// logged once and undone, leaving the module counters, the pool and the
// heap as they were; a failed export copy leaves an object without it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/kern_timeout.h"
#include "core/kv_metrics.h"
#include "core/kv_stats.h"
#include "core/nmem.h"
#include "core/timestamp.h"
#include "support/fail_alloc.h"
#include "support/test_support.h"

namespace {

struct kv_var vars[] = {
    {"a", KV_T_U64, 0, 8, 0, 0, 0},
    {"b", KV_T_U32, 0, 4, 0, 0, 8},
    {"c", KV_T_U16, 0, 2, 0, 0, 12},
};
struct kv_head head = {"af", 0, 0, 3, {}, 16, nullptr, vars, nullptr, nullptr, {}};
struct kv_export exp0 = {0, [](void *, void *, int) {}, {}}, exp2 = {2, [](void *, void *, int) {}, {}};

uint32_t pool_avail(const char *name) {
    for (struct nmem_pool *np = nmem_pool_first(); np != nullptr; np = nmem_pool_next(np))
        if (std::string(np->np_name) == name) return np->np_avail;
    return 0;
}

size_t exports_of(const kv_export_list &l) {
    size_t n = 0;
    for (struct kv_export *e : l)
        n += e != nullptr;
    return n;
}

struct snapshot {
    struct kvm_stats ks;
    uint64_t objs;
    uint32_t kvm_avail, kvs_avail;
    static snapshot now() {
        return {kvm_stats, nmem_stats.ns_alloced_objs, pool_avail("kvm"), pool_avail("kvs")};
    }
};

TEST(KvmAllocFail, EveryAllocationOfCreationFailsCleanly) {
    ticks = 1000000;
    softclock_init(nullptr);
    kv_mod_init(nullptr);
    kv_export_register(&exp0);
    kv_export_register(&exp2);
    kv_stats_mod_init(nullptr);
    kv_metrics_mod_init(nullptr);

    // kvm_create's allocations in order: states with their windows,
    // records, two export copies (mask 0x05 pushes type 0 first).
    const char *said[] = {"kvm_create: kvm_vars alloc failed", "kvm_create: kvm_data alloc failed",
                          "kv_get_export: alloc failed", "kv_get_export: alloc failed"};
    long nth = 1;
    for (; nth <= 4; nth++) {
        SCOPED_TRACE(nth);
        const snapshot before = snapshot::now();
        struct kvm *k = nullptr;
        std::string out = qt::echoed([&] {
            qt::FailAlloc f(nth);
            k = kvm_create(&head, KVM_T_EMA, KVM_PERIODIC, 1, 0x05);
            EXPECT_FALSE(qt::fail_alloc_pending());
        });
        EXPECT_EQ(qt::split_lines(out).size(), 1u) << out;
        EXPECT_NE(out.find(std::string(" ERROR ") + said[nth - 1]), std::string::npos) << out;
        if (nth == 3 || nth == 4) {
            // A missing export copy does not fail the object.
            ASSERT_NE(k, nullptr);
            EXPECT_EQ(exports_of(k->kvm_exports), 1u);
            kvm_destroy(k);
            EXPECT_EQ(nmem_stats.ns_alloced_objs, before.objs);
            EXPECT_EQ(pool_avail("kvm"), before.kvm_avail);
            continue;
        }
        EXPECT_EQ(k, nullptr);
        const snapshot after = snapshot::now();
        EXPECT_EQ(after.objs, before.objs);
        EXPECT_EQ(after.kvm_avail, before.kvm_avail);
        EXPECT_EQ(memcmp(&after.ks, &before.ks, sizeof(before.ks)), 0);
    }
    {
        qt::FailAlloc f(nth);
        struct kvm *k = kvm_create(&head, KVM_T_EMA, KVM_PERIODIC, 1, 0x05);
        ASSERT_NE(k, nullptr);
        EXPECT_TRUE(qt::fail_alloc_pending()) << "an allocation not covered above";
        EXPECT_EQ(exports_of(k->kvm_exports), 2u);
        kvm_destroy(k);
    }
    {
        // No memory to move a compact window to doubles: the sample is refused.
        struct kvm *k = kvm_create(&head, KVM_T_SMA, KVM_PERIODIC, 1, 0);
        struct kvm_ma *ma = &k->kvm_ma[1];
        k->kvm_ops->mo_update(ma, 5);
        std::string out = qt::echoed([&] {
            qt::FailAlloc f(1);
            k->kvm_ops->mo_update(ma, 0x1p40);
        });
        EXPECT_NE(out.find(" ERROR kvm_ma_widen: window alloc failed"), std::string::npos) << out;
        EXPECT_TRUE(ma->ma_count == 1 && ma->ma_last == 5 && ma->ma_avg == 5);
        kvm_destroy(k);
    }

    // kvs_create allocates only its export copies.
    const snapshot before = snapshot::now();
    for (long n : {1, 2}) {
        struct kvs *s = nullptr;
        std::string out = qt::echoed([&] {
            qt::FailAlloc f(n);
            s = kvs_create(&head, KVS_RESET, 1, 0x05);
        });
        EXPECT_NE(out.find(" ERROR kv_get_export: alloc failed"), std::string::npos);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(exports_of(s->kvs_exports), 1u);
        kvs_destroy(s);
    }
    EXPECT_EQ(nmem_stats.ns_alloced_objs, before.objs);
    EXPECT_EQ(pool_avail("kvs"), before.kvs_avail);

    // An empty pool: counted, nothing logged, nothing kept.
    std::vector<struct kvm *> all;
    while (struct kvm *k = kvm_create(&head, KVM_T_NONE, 0, 0, 0))
        all.push_back(k);
    EXPECT_EQ(all.size(), size_t(KVM_POOL_SIZE));
    EXPECT_EQ(kvm_stats.ks_allocerr, before.ks.ks_allocerr + 1);
    for (struct kvm *k : all)
        kvm_destroy(k);
    EXPECT_EQ(pool_avail("kvm"), before.kvm_avail);
}

}  // namespace
