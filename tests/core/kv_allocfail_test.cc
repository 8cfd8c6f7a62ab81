// Allocation failures in the kv registry, the pools and the control tree:
// reported, and nothing left allocated, linked or half-split behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "core/kv.h"
#include "core/logging.h"
#include "core/netctl/netctl_vars.h"
#include "core/nmem.h"
#include "support/fail_alloc.h"

namespace {

using ::testing::HasSubstr;

// Runs fn with the n-th allocation failing; returns the log echo.
template <class F>
std::string failing(long n, F fn) {
    testing::internal::CaptureStdout();
    tr_set_echo(1);
    {
        qt::FailAlloc f(n);
        fn();
    }
    fflush(stdout);
    tr_set_echo(0);
    return testing::internal::GetCapturedStdout();
}

struct kv_var vars[] = {{"a", KV_T_U32, 0, 4, 0, 0, 0}};
struct kv_head kh = {"failing", 0, 0, 1, {}, 16, nullptr, vars, nullptr, nullptr, {}};

TEST(KvAllocFail, RegistrationAndPoolsUndoTheirOwnAllocations) {
    uint64_t live = nmem_stats.ns_alloced_objs;
    EXPECT_THAT(failing(2, [] { EXPECT_EQ(kv_register(&kh), -1); }),
                HasSubstr(" ERROR kv_register: kh_map alloc failed\n"));
    EXPECT_EQ(kh.kh_data, nullptr);
    EXPECT_EQ(kv_head_first(), nullptr);
    EXPECT_THAT(failing(2, [] { EXPECT_EQ(nmem_pool_create("p", 4, 16, 0), nullptr); }),
                HasSubstr(" ERROR nmem_pool_create: pool items alloc failed\n"));
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live);
    EXPECT_EQ(nmem_stats.ns_pools, 0u);
}

TEST(KvAllocFail, FailedSplitLeavesTheTreeAsItWas) {
    ASSERT_EQ(netctl_register_vars("spl.nmem.stats", &kh, nullptr, 0, nullptr), 0);
    uint64_t live = nmem_stats.ns_alloced_objs;
    auto reg = [] {
        EXPECT_EQ(netctl_register_vars("spl.kv.stats", &kh, nullptr, 0, nullptr), -1);
    };
    EXPECT_THAT(failing(1, reg), HasSubstr("netctl_create_child: parent node alloc error prefix "
                                           "spl.kv.stats len 3\n"));
    EXPECT_THAT(failing(2, reg),
                HasSubstr("netctl_create_child: new node alloc error prefix .kv.stats len 9\n"));
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live);
    struct netctl_node *np = netctl_root()->nctl_children.first();
    EXPECT_EQ(std::string(np->nctl_label), "spl.nmem.stats");
    EXPECT_EQ(netctl_root()->nctl_children.next(np), nullptr);
}

}  // namespace
