// Allocation failures in the kv registry, the pools and the control tree:
// each is reported with its own message, leaves nothing allocated, linked
// or half-split behind, and the same call succeeds once memory is back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>


#include "core/kv.h"
#include "core/logging.h"
#include "core/ncounter.h"
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

// Runs call with its nth allocation failing: it must fail, log exactly the
// lines said, keep `kept` objects and count one allocation error.  Then,
// after the checks of after_failure, the same call must succeed.
void fails_then_succeeds(const std::function<bool()> &call, long nth,
                         const std::vector<std::string> &said, int64_t kept,
                         const std::function<void()> &after_failure) {
    const uint64_t objs = n_counter_get(nmem_stats.ns_alloced_objs);
    const uint64_t errs = n_counter_get(nmem_stats.ns_alloc_errors);
    bool ok = true;
    std::string out = qt::echoed([&] {
        qt::FailAlloc f(nth);
        ok = call();
        EXPECT_FALSE(qt::fail_alloc_pending());
    });
    EXPECT_FALSE(ok);
    for (const std::string &line : said)
        EXPECT_THAT(out, HasSubstr(line));
    EXPECT_EQ(qt::split_lines(out).size(), said.size()) << out;
    EXPECT_EQ(int64_t(n_counter_get(nmem_stats.ns_alloced_objs) - objs), kept);
    EXPECT_EQ(n_counter_get(nmem_stats.ns_alloc_errors), errs + 1);
    if (after_failure) after_failure();
    ASSERT_TRUE(call());
}

// The node registered under name, with its leaf; null when there is none.
struct netctl_node *leaf_node(const std::string &name) {
    struct netctl_node *np = netctl_lookup(nullptr, name.c_str(), name.size(), 0);
    if (np->nctl_leaf == nullptr || np->nctl_leaf->nl_name != name) return nullptr;
    return np;
}

bool has_node(const std::string &name) {
    struct netctl_node *np = netctl_lookup(nullptr, name.c_str(), name.size(), 0);
    std::string full;
    for (; np != nullptr; np = np->nctl_parent)
        full = std::string(np->nctl_label, size_t(np->nctl_label_len)) + full;
    return full == name;
}

// Registers name as a table node ("*.*"), an element ("*.elem") or variables.
bool reg(const std::string &name) {
    if (name.ends_with(".*")) return netctl_register_node(name.c_str(), nullptr) == 0;
    if (name.ends_with(".elem"))
        return netctl_register_elem(name.c_str(), &elem_var, block, nullptr) == 0;
    return netctl_register_vars(name.c_str(), &bare_head, block, 0, nullptr) == 0;
}

TEST(KvAllocFail, EveryFailurePathReportsKeepsStateAndSucceedsAgain) {
    kv_export_register(&exp2);
    static struct nmem_pool *pool;
    static struct kv_export *copy;
    static struct kv_var *array;
    auto reg_data = [] { return kv_register(&data_head) == 0; };
    auto new_pool = [] { return (pool = nmem_pool_create("p", 4, 16, 0)) != nullptr; };
    auto no_pool = [] { EXPECT_EQ(n_counter_get(nmem_stats.ns_pools), 0u); };

    fails_then_succeeds(reg_data, 1, {" ERROR kv_register: kh_data alloc failed\n"}, 0, [] {
        EXPECT_FALSE(linked(&data_head));
        EXPECT_EQ(data_head.kh_map, nullptr);
    });
    EXPECT_TRUE(linked(&data_head));
    ASSERT_NE(data_head.kh_data, nullptr);
    EXPECT_EQ(data_head.kh_map[8], 1);
    kv_unregister(&data_head);
    fails_then_succeeds(reg_data, 2, {" ERROR kv_register: kh_map alloc failed\n"}, 0, [] {
        EXPECT_FALSE(linked(&data_head));
        EXPECT_EQ(data_head.kh_data, nullptr);  // released again
    });
    kv_unregister(&data_head);
    fails_then_succeeds([] { return kv_register(&bare_head) == 0; }, 1,
                        {" ERROR kv_register: kh_map alloc failed\n"}, 0,
                        [] { EXPECT_FALSE(linked(&bare_head)); });
    kv_unregister(&bare_head);

    fails_then_succeeds([] { return (copy = kv_get_export(2)) != nullptr; }, 1,
                        {" ERROR kv_get_export: alloc failed\n"}, 0, nullptr);
    EXPECT_EQ(copy->ke_fn, exp2.ke_fn);
    nmem_free(copy);
    fails_then_succeeds([] { return (array = kv_var_array_alloc(3)) != nullptr; }, 1,
                        {" DEBUG kv_var_array_alloc: alloc failed\n"}, 0, nullptr);
    EXPECT_EQ(array[2].kv_type, 0);
    kv_var_array_free(array);

    fails_then_succeeds(new_pool, 1, {" ERROR nmem_pool_create: pool desc alloc failed\n"}, 0,
                        no_pool);
    void *o = nmem_pool_alloc(pool);
    EXPECT_NE(o, nullptr);
    nmem_pool_free(pool, o);
    nmem_pool_destroy(pool);
    fails_then_succeeds(new_pool, 2, {" ERROR nmem_pool_create: pool items alloc failed\n"}, 0,
                        no_pool);
    nmem_pool_destroy(pool);
    no_pool();

    for (const char *name : {"spa.nmem.stats", "spb.nmem.stats"})
        ASSERT_TRUE(reg(name));
    // A registration makes its node, then its leaf: a failed leaf keeps the
    // node, and the next registration only adds the leaf.  A split makes
    // both new nodes before it relinks anything: no new parent appears.
    const std::string lookup = "netctl_lookup_locked: new node alloc error prefix ";
    const struct {
        long nth;
        std::string name, first;  // first: the ERROR line before the caller's
        const char *caller, *why;
        bool node_kept;
        std::string split = "";
    } cases[] = {
        {1, "fresh.node.stats", lookup + "fresh.node.stats len 16", "vars", "lookup", false},
        {2, "vleaf.stats", "", "vars", "alloc", true},
        {1, "enode.elem", lookup + "enode.elem len 10", "elem", "lookup", false},
        {2, "eleaf.elem", "", "elem", "alloc", true},
        {1, "table.*", lookup + "table.* len 7", "node", "lookup", false},
        {1, "spa.kv.stats", "netctl_create_child: parent node alloc error prefix spa.kv.stats len 3",
         "vars", "lookup", false, "spa"},
        {2, "spb.kv.stats", "netctl_create_child: new node alloc error prefix .kv.stats len 9",
         "vars", "lookup", false, "spb"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> said;
        if (!c.first.empty()) said.push_back(" ERROR " + c.first + "\n");
        said.push_back(" ERROR netctl_register_" + std::string(c.caller) + ": " + c.why +
                       " failed " + c.name + "\n");
        fails_then_succeeds([&] { return reg(c.name); }, c.nth, said, c.node_kept, [&] {
            EXPECT_EQ(has_node(c.name), c.node_kept);
            EXPECT_EQ(leaf_node(c.name), nullptr);
            EXPECT_TRUE(c.split.empty() || !has_node(c.split));
        });
        EXPECT_TRUE(c.name.ends_with(".*") ? has_node(c.name) : leaf_node(c.name) != nullptr);
        EXPECT_TRUE(c.split.empty() || leaf_node(c.split + ".nmem.stats") != nullptr);
    }
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
