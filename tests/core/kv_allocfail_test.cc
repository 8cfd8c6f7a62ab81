// Allocation failures in the kv registry and the object pools: each is
// reported as it should be and leaves nothing allocated or linked behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/kv.h"
#include "core/logging.h"
#include "core/nmem.h"
#include "support/fail_alloc.h"

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

struct kv_var vars[] = {
    {"a", KV_T_U32, 0, 4, 0, 0, 0},
    {"s", KV_T_STRING, 0, 8, 0, 0, 8},
};

TEST(KvAllocFail, RegisterUndoesItsOwnAllocations) {
    struct kv_head kh = {};
    strcpy(kh.kh_name, "failing");
    kh.kh_vars = vars;
    kh.kh_nvars = 2;
    kh.kh_size = 16;
    uint64_t live = nmem_stats.ns_alloced_objs;
    int rc = 0;
    std::string out = echoed([&] {
        qt::FailAlloc f(1);
        rc = kv_register(&kh);
    });
    EXPECT_EQ(rc, -1);
    EXPECT_THAT(out, HasSubstr(" ERROR kv_register: kh_data alloc failed\n"));
    out = echoed([&] {
        qt::FailAlloc f(2);
        rc = kv_register(&kh);
    });
    EXPECT_EQ(rc, -1);
    EXPECT_THAT(out, HasSubstr(" ERROR kv_register: kh_map alloc failed\n"));
    EXPECT_EQ(kh.kh_data, nullptr);
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live);
    EXPECT_EQ(kv_head_first(), nullptr);
    // Not linked, so a later registration is a first one.
    ASSERT_EQ(kv_register(&kh), 0);
    EXPECT_EQ(kv_head_first(), &kh);
    kv_unregister(&kh);

    // Size 0: the map is the only allocation, and the module's block stays.
    static char own[16];
    kh.kh_size = 0;
    kh.kh_data = own;
    out = echoed([&] {
        qt::FailAlloc f(1);
        rc = kv_register(&kh);
    });
    EXPECT_EQ(rc, -1);
    EXPECT_THAT(out, HasSubstr("kv_register: kh_map alloc failed"));
    EXPECT_EQ(kh.kh_data, own);
}

void fn(void *, void *, int) {}

TEST(KvAllocFail, CopiesAndArraysReportFailure) {
    static struct kv_export kexp = {1, fn, {}};
    kv_export_register(&kexp);
    struct kv_export *copy = &kexp;
    std::string out = echoed([&] {
        qt::FailAlloc f(1);
        copy = kv_get_export(1);
    });
    EXPECT_EQ(copy, nullptr);
    EXPECT_THAT(out, HasSubstr(" ERROR kv_get_export: alloc failed\n"));
    kv_export_unregister(&kexp);

    struct kv_var *arr = vars;
    out = echoed([&] {
        qt::FailAlloc f(1);
        arr = kv_var_array_alloc(4);
    });
    EXPECT_EQ(arr, nullptr);
    EXPECT_THAT(out, HasSubstr(" DEBUG kv_var_array_alloc: alloc failed\n"));
}

TEST(KvAllocFail, StringCopiesThatFail) {
    struct {
        uint32_t a;
        char *s;
    } blk = {0, nullptr};
    char text[] = "value";
    blk.s = text;
    struct kv_record r = {};
    r.kr_value.u64 = 0x77;
    {
        qt::FailAlloc f(1);
        kv_read_data(&vars[1], &blk, &r);
    }
    EXPECT_EQ(r.kr_value.str, nullptr);  // no copy, and nothing stale

    // A failed copy on write leaves the variable empty; the old string is
    // released all the same.
    blk.s = n_strdup("old");
    uint64_t live = nmem_stats.ns_alloced_objs;
    r.kr_value.str = text;
    std::string out = echoed([&] {
        qt::FailAlloc f(1);
        kv_write_data(&vars[1], &blk, &r);
    });
    EXPECT_EQ(blk.s, nullptr);
    EXPECT_THAT(out, HasSubstr("n_strdup: str 'value' alloc failed"));
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live - 1);
}

TEST(NmemPoolAllocFail, CreateFreesWhatItHad) {
    uint64_t live = nmem_stats.ns_alloced_objs, pools = nmem_stats.ns_pools;
    struct nmem_pool *np = nullptr;
    std::string out = echoed([&] {
        qt::FailAlloc f(1);
        np = nmem_pool_create("p", 4, 16, 0);
    });
    EXPECT_EQ(np, nullptr);
    EXPECT_THAT(out, HasSubstr(" ERROR nmem_pool_create: pool desc alloc failed\n"));
    out = echoed([&] {
        qt::FailAlloc f(2);
        np = nmem_pool_create("p", 4, 16, 0);
    });
    EXPECT_EQ(np, nullptr);
    EXPECT_THAT(out, HasSubstr(" ERROR nmem_pool_create: pool items alloc failed\n"));
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live);
    EXPECT_EQ(nmem_stats.ns_pools, pools);
    EXPECT_EQ(nmem_pool_first(), nullptr);
}

}  // namespace
