// Allocation failures in the control tree: what was linked stays linked and
// consistent, and a later registration succeeds.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/logging.h"
#include "core/netctl/netctl_vars.h"
#include "core/nmem.h"
#include "support/fail_alloc.h"

namespace {

using ::testing::ElementsAre;
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

std::vector<std::string> labels(const struct netctl_node *np) {
    std::vector<std::string> out;
    for (struct netctl_node *c : np->nctl_children)
        out.emplace_back(c->nctl_label, size_t(c->nctl_label_len));
    return out;
}

struct netctl_node *lookup(const std::string &name) {
    return netctl_lookup(nullptr, name.data(), name.size(), 0);
}

struct kv_var v[] = {{"x", KV_T_U32, 0, 4, 0, 0, 0}};
struct kv_head kh = {"h", 2, 0, 1, {}, 4, nullptr, v, nullptr, nullptr, {}};
uint32_t block;

int reg(const char *name) {
    return netctl_register_vars(name, &kh, &block, 0, nullptr);
}

TEST(NetctlAllocFail, NewNodeOrSplitFailureLeavesTheTreeAsItWas) {
    int rc = 0;
    std::string out = echoed([&] {
        qt::FailAlloc f(1);
        rc = reg("spl.nmem.stats");
    });
    EXPECT_EQ(rc, -1);
    EXPECT_THAT(out, HasSubstr(" ERROR netctl_lookup_locked: new node alloc error prefix "
                               "spl.nmem.stats len 14\n"));
    EXPECT_THAT(out, HasSubstr(" ERROR netctl_register_vars: lookup failed spl.nmem.stats\n"));
    EXPECT_TRUE(labels(netctl_root()).empty());

    ASSERT_EQ(reg("spl.nmem.stats"), 0);
    uint64_t live = nmem_stats.ns_alloced_objs;
    out = echoed([&] {
        qt::FailAlloc f(1);
        rc = reg("spl.kv.stats");
    });
    EXPECT_EQ(rc, -1);
    EXPECT_THAT(out, HasSubstr("ERROR netctl_create_child: parent node alloc error prefix "
                               "spl.kv.stats len 3\n"));
    out = echoed([&] {
        qt::FailAlloc f(2);
        rc = reg("spl.kv.stats");
    });
    EXPECT_EQ(rc, -1);
    EXPECT_THAT(out, HasSubstr("ERROR netctl_create_child: new node alloc error prefix "
                               ".kv.stats len 9\n"));
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live);
    EXPECT_THAT(labels(netctl_root()), ElementsAre("spl.nmem.stats"));
    EXPECT_EQ(lookup("spl.nmem.stats")->nctl_leaf->nl_base, &block);

    ASSERT_EQ(reg("spl.kv.stats"), 0);
    EXPECT_THAT(labels(netctl_root()), ElementsAre("spl"));
    EXPECT_THAT(labels(lookup("spl")), ElementsAre(".nmem.stats", ".kv.stats"));
}

TEST(NetctlAllocFail, LeafFailureLeavesANodeThatCanStillTakeALeaf) {
    int rc = 0;
    std::string out = echoed([&] {
        qt::FailAlloc f(2);  // the node, then the leaf
        rc = reg("leafless.stats");
    });
    EXPECT_EQ(rc, -1);
    EXPECT_THAT(out, HasSubstr(" ERROR netctl_register_vars: alloc failed leafless.stats\n"));
    struct netctl_node *np = lookup("leafless.stats");
    ASSERT_NE(np, netctl_root());
    EXPECT_EQ(np->nctl_leaf, nullptr);
    EXPECT_EQ(np->nctl_flags, 0);
    ASSERT_EQ(reg("leafless.stats"), 0);
    EXPECT_NE(np->nctl_leaf, nullptr);

    // A split makes two nodes before the leaf.
    out = echoed([&] {
        qt::FailAlloc f(3);
        rc = netctl_register_elem("leafless.elem", &v[0], &block, nullptr);
    });
    EXPECT_EQ(rc, -1);
    EXPECT_THAT(out, HasSubstr(" ERROR netctl_register_elem: alloc failed leafless.elem\n"));
}

}  // namespace
