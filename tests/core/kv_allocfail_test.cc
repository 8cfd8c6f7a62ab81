// Allocation failures in the kv registry, the pools and the control tree:
// each is reported with its own message, leaves nothing allocated, linked
// or half-split behind, and the same call succeeds once memory is back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/kv.h"
#include "core/logging.h"
#include "core/ncounter.h"
#include "core/netctl/netctl_sock.h"
#include "core/netctl/netctl_vars.h"
#include "core/nmem.h"
#include "support/fail_alloc.h"
#include "support/test_support.h"

namespace {

using ::testing::HasSubstr;

struct kv_var vars[] = {{"a", KV_T_U32, 0, 4, 0, 0, 0}, {"b", KV_T_U32, 0, 4, 0, 0, 8}};
struct kv_head data_head = {"withdata", 0, 0, 2, {}, 16, nullptr, vars, nullptr, nullptr, {}};
struct kv_head bare_head = {"bare", 0, 0, 2, {}, 0, nullptr, vars, nullptr, nullptr, {}};
uint32_t block[4] = {5, 0, 9, 0};
struct kv_var elem_var = {"e", KV_T_U32, 0, 4, 0, 0, 0};
struct kv_export exp2 = {2, [](void *, void *, int) {}, {}};

bool linked(const struct kv_head *kh) {
    for (struct kv_head *h = kv_head_first(); h != nullptr; h = kv_head_next(h))
        if (h == kh) return true;
    return false;
}

// The node registered under name, with its leaf; null when there is none.
struct netctl_node *leaf_node(const char *name) {
    struct netctl_node *np = netctl_lookup(nullptr, name, strlen(name), 0);
    if (np->nctl_leaf == nullptr || strcmp(np->nctl_leaf->nl_name, name) != 0) return nullptr;
    return np;
}

bool has_node(const char *name) {
    struct netctl_node *np = netctl_lookup(nullptr, name, strlen(name), 0);
    std::string full;
    for (; np != nullptr; np = np->nctl_parent)
        full = std::string(np->nctl_label, size_t(np->nctl_label_len)) + full;
    return full == name;
}

struct fail_case {
    const char *what;
    long nth;                             // which allocation of the call fails
    std::function<bool()> call;           // true when it succeeded
    std::vector<std::string> said;        // log lines of the failure
    int64_t kept;                         // objects the failure legitimately keeps
    std::function<void()> after_failure;  // state checks
    std::function<void()> after_success;  // state checks, then release
};

std::vector<fail_case> cases() {
    static struct nmem_pool *pool;
    static struct kv_export *copy;
    static struct kv_var *array;
    auto reg = [](const char *name) {
        return [name] { return netctl_register_vars(name, &bare_head, block, 0, nullptr) == 0; };
    };
    return {
        {"kh_data",
         1,
         [] { return kv_register(&data_head) == 0; },
         {" ERROR kv_register: kh_data alloc failed\n"},
         0,
         [] {
             EXPECT_FALSE(linked(&data_head));
             EXPECT_EQ(data_head.kh_map, nullptr);
         },
         [] {
             EXPECT_TRUE(linked(&data_head));
             ASSERT_NE(data_head.kh_data, nullptr);
             EXPECT_EQ(data_head.kh_map[8], 1);
             kv_unregister(&data_head);
         }},
        {"kh_map after kh_data",
         2,
         [] { return kv_register(&data_head) == 0; },
         {" ERROR kv_register: kh_map alloc failed\n"},
         0,
         [] {
             EXPECT_FALSE(linked(&data_head));
             EXPECT_EQ(data_head.kh_data, nullptr);  // released again
         },
         [] { kv_unregister(&data_head); }},
        {"kh_map of a head without data",
         1,
         [] { return kv_register(&bare_head) == 0; },
         {" ERROR kv_register: kh_map alloc failed\n"},
         0,
         [] { EXPECT_FALSE(linked(&bare_head)); },
         [] { kv_unregister(&bare_head); }},
        {"export copy",
         1,
         [] { return (copy = kv_get_export(2)) != nullptr; },
         {" ERROR kv_get_export: alloc failed\n"},
         0,
         nullptr,
         [] {
             EXPECT_EQ(copy->ke_fn, exp2.ke_fn);
             nmem_free(copy);
         }},
        {"variable array",
         1,
         [] { return (array = kv_var_array_alloc(3)) != nullptr; },
         {" DEBUG kv_var_array_alloc: alloc failed\n"},
         0,
         nullptr,
         [] {
             EXPECT_EQ(array[2].kv_type, 0);
             kv_var_array_free(array);
         }},
        {"pool descriptor",
         1,
         [] { return (pool = nmem_pool_create("p", 4, 16, 0)) != nullptr; },
         {" ERROR nmem_pool_create: pool desc alloc failed\n"},
         0,
         [] { EXPECT_EQ(n_counter_get(nmem_stats.ns_pools), 0u); },
         [] {
             void *o = nmem_pool_alloc(pool);
             EXPECT_NE(o, nullptr);
             nmem_pool_free(pool, o);
             nmem_pool_destroy(pool);
         }},
        {"pool items",
         2,
         [] { return (pool = nmem_pool_create("p", 4, 16, 0)) != nullptr; },
         {" ERROR nmem_pool_create: pool items alloc failed\n"},
         0,
         [] { EXPECT_EQ(n_counter_get(nmem_stats.ns_pools), 0u); },
         [] { nmem_pool_destroy(pool); }},
        {"new node",
         1,
         reg("fresh.node.stats"),
         {" ERROR netctl_lookup_locked: new node alloc error prefix fresh.node.stats len 16\n",
          " ERROR netctl_register_vars: lookup failed fresh.node.stats\n"},
         0,
         [] { EXPECT_FALSE(has_node("fresh.node.stats")); },
         [] { EXPECT_NE(leaf_node("fresh.node.stats"), nullptr); }},
        // The node is made before its leaf: it stays, without a leaf, and the
        // next registration of the name only adds the leaf.
        {"vars leaf",
         2,
         reg("vleaf.stats"),
         {" ERROR netctl_register_vars: alloc failed vleaf.stats\n"},
         1,
         [] {
             EXPECT_TRUE(has_node("vleaf.stats"));
             EXPECT_EQ(leaf_node("vleaf.stats"), nullptr);
         },
         [] { EXPECT_NE(leaf_node("vleaf.stats"), nullptr); }},
        {"element node",
         1,
         [] { return netctl_register_elem("enode.elem", &elem_var, block, nullptr) == 0; },
         {" ERROR netctl_lookup_locked: new node alloc error prefix enode.elem len 10\n",
          " ERROR netctl_register_elem: lookup failed enode.elem\n"},
         0,
         [] { EXPECT_FALSE(has_node("enode.elem")); },
         [] { EXPECT_NE(leaf_node("enode.elem"), nullptr); }},
        {"element leaf",
         2,
         [] { return netctl_register_elem("eleaf.elem", &elem_var, block, nullptr) == 0; },
         {" ERROR netctl_register_elem: alloc failed eleaf.elem\n"},
         1,
         [] { EXPECT_EQ(leaf_node("eleaf.elem"), nullptr); },
         [] { EXPECT_NE(leaf_node("eleaf.elem"), nullptr); }},
        {"table node",
         1,
         [] { return netctl_register_node("table.*", nullptr) == 0; },
         {" ERROR netctl_lookup_locked: new node alloc error prefix table.* len 7\n",
          " ERROR netctl_register_node: lookup failed table.*\n"},
         0,
         [] { EXPECT_FALSE(has_node("table.*")); },
         [] { EXPECT_TRUE(has_node("table.*")); }},
        // A split allocates both new nodes before it relinks anything.
        {"split parent",
         1,
         reg("spa.kv.stats"),
         {" ERROR netctl_create_child: parent node alloc error prefix spa.kv.stats len 3\n",
          " ERROR netctl_register_vars: lookup failed spa.kv.stats\n"},
         0,
         [] {
             EXPECT_NE(leaf_node("spa.nmem.stats"), nullptr);
             EXPECT_FALSE(has_node("spa"));
         },
         [] { EXPECT_TRUE(has_node("spa")); }},
        {"split child",
         2,
         reg("spb.kv.stats"),
         {" ERROR netctl_create_child: new node alloc error prefix .kv.stats len 9\n",
          " ERROR netctl_register_vars: lookup failed spb.kv.stats\n"},
         0,
         [] { EXPECT_FALSE(has_node("spb")); },
         [] {
             EXPECT_NE(leaf_node("spb.nmem.stats"), nullptr);
             EXPECT_NE(leaf_node("spb.kv.stats"), nullptr);
         }},
    };
}

// Full names of every response of a whole-tree walk, as the control socket
// would send them.
std::vector<std::string> walk_names() {
    static std::vector<std::string> names;
    names.clear();
    auto req = std::make_unique<struct netctl_req>();
    req->nr_op = NETCTL_OP_LIST;
    req->nr_name = "";
    req->nr_respond = [](struct netctl_req *r) {
        names.push_back(r->nr_name);
        return 0;
    };
    netctl_process_request(req.get());
    return names;
}

TEST(KvAllocFail, EveryFailurePathReportsKeepsStateAndSucceedsAgain) {
    kv_export_register(&exp2);
    for (const char *name : {"spa.nmem.stats", "spb.nmem.stats"})
        ASSERT_EQ(netctl_register_vars(name, &bare_head, block, 0, nullptr), 0);
    for (const fail_case &c : cases()) {
        SCOPED_TRACE(c.what);
        const uint64_t objs = n_counter_get(nmem_stats.ns_alloced_objs);
        const uint64_t errs = n_counter_get(nmem_stats.ns_alloc_errors);
        bool ok = true;
        std::string out = qt::echoed([&] {
            qt::FailAlloc f(c.nth);
            ok = c.call();
            EXPECT_FALSE(qt::fail_alloc_pending());
        });
        EXPECT_FALSE(ok);
        for (const std::string &line : c.said)
            EXPECT_THAT(out, HasSubstr(line));
        EXPECT_EQ(qt::split_lines(out).size(), c.said.size()) << out;
        EXPECT_EQ(int64_t(n_counter_get(nmem_stats.ns_alloced_objs) - objs), c.kept);
        EXPECT_EQ(n_counter_get(nmem_stats.ns_alloc_errors), errs + 1);
        if (c.after_failure) c.after_failure();

        ASSERT_TRUE(c.call());
        if (c.after_success) c.after_success();
    }
    // What the failures left is still one consistent tree: every leaf
    // registered is walked once, children before parents.
    EXPECT_EQ(walk_names(),
              (std::vector<std::string>{"fresh.node.stats", "vleaf.stats", "enode.elem",
                                        "eleaf.elem", "spa.nmem.stats", "spa.kv.stats",
                                        "spb.nmem.stats", "spb.kv.stats"}));
    EXPECT_EQ(n_counter_get(nmem_stats.ns_pools), 0u);
}

// A write whose copy cannot be made is not made: the variable keeps the
// string it had, rather than losing it for nothing.
TEST(KvAllocFail, FailedStringCopyOnWriteKeepsTheOldString) {
    struct kv_var sv = {"s", KV_T_STRING, 0, 8, 0, 0, 0};
    char *field = n_strdup("old");
    const uint64_t objs = n_counter_get(nmem_stats.ns_alloced_objs);
    struct kv_record r = {};
    char text[] = "new";
    r.kr_value.str = text;
    std::string out = qt::echoed([&] {
        qt::FailAlloc f(1);
        kv_write_data(&sv, &field, &r);
    });
    EXPECT_THAT(out, HasSubstr(" ERROR n_strdup: str 'new' alloc failed\n"));
    ASSERT_NE(field, nullptr);
    EXPECT_STREQ(field, "old");
    EXPECT_EQ(n_counter_get(nmem_stats.ns_alloced_objs), objs);
    kv_write_data(&sv, &field, &r);
    EXPECT_STREQ(field, "new");
    EXPECT_EQ(n_counter_get(nmem_stats.ns_alloced_objs), objs);
    nmem_free(field);
}

}  // namespace
