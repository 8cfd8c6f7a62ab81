// Control tree: shapes, lookups, registration, resolution, walks, leaves.
//
// The tree is process-wide and nothing is ever removed from it, so every
// test works under first name components of its own.
#include "core/netctl/netctl_vars.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/logging.h"
#include "support/test_support.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::vector<std::string> labels(const struct netctl_node *np, const std::string &prefix = "") {
    std::vector<std::string> out;
    for (struct netctl_node *c : np->nctl_children) {
        std::string l(c->nctl_label, size_t(c->nctl_label_len));
        if (l.compare(0, prefix.size(), prefix) == 0) out.push_back(l);
    }
    return out;
}

struct netctl_node *lookup(const std::string &name, int create = 0) {
    return netctl_lookup(nullptr, name.data(), name.size(), create);
}

struct stats {
    uint32_t hits;
    uint64_t bytes;
    char *label;
};
struct kv_var svars[] = {
    {"hits", KV_T_U32, 0, 4, 0, 0, offsetof(stats, hits)},
    {"bytes", KV_T_U64, 0, 8, 0, 0, offsetof(stats, bytes)},
    {"label", KV_T_STRING, 0, 8, 0, 0, offsetof(stats, label)},
};
struct kv_head shead = {"statshead", 2, 0, 3, {}, 0, nullptr, svars, nullptr, nullptr, {}};

int reg(const std::string &name, void *base = nullptr, int32_t offset = 0) {
    return netctl_register_vars(name.c_str(), &shead, base, offset, nullptr);
}

struct kv_record *recs(void *data) {
    return static_cast<struct kv_record *>(data);
}

struct resolved {
    struct netctl_node *np;
    std::string path;
    int remaining;
    void *instance;
};

std::unique_ptr<struct netctl_req> req = std::make_unique<struct netctl_req>();

resolved resolve_n(const char *name, int len, bool parent = false) {
    req->nr_name = name;
    req->nr_parent = parent;
    resolved out{nullptr, "", len, nullptr};
    netctl_tree_lock();
    out.np = netctl_resolve(req.get(), &out.remaining, &out.instance);
    netctl_tree_unlock();
    out.path = req->nr_path;
    return out;
}
resolved resolve(const std::string &name, bool parent = false) {
    return resolve_n(name.data(), int(name.size()), parent);
}

// Table "tbl.*": instances ".inst1" and ".inst2", a vars leaf below.
struct inst {
    const char *name;
    stats st;
};
inst insts[2] = {{"inst1", {11, 12, nullptr}}, {"inst2", {21, 22, nullptr}}};
inst dflt = {"none", {1, 2, nullptr}};

int t_parse(struct netctl_node *, const char *name, int len, void **instance) {
    int n = 1;
    while (n < len && name[n] != '.')
        n++;
    for (inst &i : insts) {
        if (len > 1 && size_t(n - 1) == strlen(i.name) &&
            !memcmp(name + 1, i.name, size_t(n - 1))) {
            *instance = &i;
            return n;
        }
    }
    return 0;
}
// The first instance name is too long for any path and must be skipped.
int t_iterate(struct netctl_node *np, void *data, netctl_visit_fn visit,
              struct netctl_walk_ctx *ctx) {
    auto *d = static_cast<char *>(data);
    memset(d, 'x', 300);
    d[0] = '.', d[300] = 0;
    ctx->nwc_instance = &dflt;
    if (visit(np, data, ctx) == -1) return -1;
    for (inst &i : insts) {
        snprintf(d, NETCTL_NAME_MAX, ".%s", i.name);
        ctx->nwc_instance = &i;
        if (visit(np, data, ctx) == -1) return -1;
    }
    return 0;
}
const struct netctl_node_ops tops = {t_parse, nullptr, t_iterate, nullptr};

class NetctlTable : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(netctl_register_node("tbl.*", &tops), 0);
        ASSERT_EQ(reg("tbl.*.stats", &dflt, offsetof(inst, st)), 0);
    }
};

TEST(NetctlTree, ShapesOfSplitsAtDots) {
    for (const char *n : {"core.nmem.stats", "core.kv.stats", "core.kv", "a.x", "a.y",
                          "deep.alpha.x", "deep.alpha.y", "deep.beta"})
        ASSERT_EQ(reg(n), 0) << n;
    EXPECT_THAT(labels(netctl_root(), "core"), ElementsAre("core"));
    struct netctl_node *core = lookup("core");
    // A name ending where a label goes on with a dot becomes its sibling.
    EXPECT_THAT(labels(core), ElementsAre(".nmem.stats", ".kv.stats", ".kv"));
    EXPECT_EQ(core->nctl_leaf, nullptr);
    EXPECT_THAT(labels(netctl_root(), "a."), ElementsAre("a.x", "a.y"));  // no one-letter split
    // The moved subtree keeps its children and the split parent goes last.
    EXPECT_THAT(labels(lookup("deep")), ElementsAre(".alpha", ".beta"));
    EXPECT_THAT(labels(lookup("deep.alpha")), ElementsAre(".x", ".y"));
}

TEST(NetctlTree, LookupsWithAndWithoutCreate) {
    ASSERT_EQ(reg("solo.nmem.stats"), 0);
    struct netctl_node *solo = lookup("solo.nmem.stats");
    EXPECT_EQ(lookup("solo"), solo);  // ends at a dot inside the label
    EXPECT_EQ(lookup("sol"), netctl_root());
    EXPECT_EQ(lookup("solo.nmem.stats.allocs"), solo);
    EXPECT_EQ(lookup("solo.nmem.stats", 1), solo);
    lookup("solo.nmem", 1);
    EXPECT_THAT(labels(lookup("solo")), ElementsAre(".nmem.stats", ".nmem"));
}

TEST(NetctlTree, RefusedNamesLeaveTheTreeAlone) {
    std::string longest = "l." + std::string(125, 'l'), too_long = longest + "x";
    std::vector<std::string> before = labels(netctl_root());
    for (const std::string &name : {std::string(""), std::string(".lead"), std::string("trail."),
                                    std::string("two..dots"), too_long}) {
        EXPECT_THAT(qt::captured([&] { EXPECT_EQ(reg(name), -1) << name; }),
                    HasSubstr("ERROR netctl_register_vars: lookup failed " + name));
    }
    EXPECT_EQ(labels(netctl_root()), before);
    ASSERT_EQ(reg(longest), 0);  // 127 bytes fit, and nothing below them
    EXPECT_EQ(lookup(longest)->nctl_label_len, 127);
    EXPECT_EQ(netctl_lookup(lookup(longest), ".x", 2, 1), nullptr);
}

TEST(NetctlTree, NamesWithoutNulAreReadWithinTheirBuffer) {
    // A 128-byte name at the very end of a readable page.
    long page = sysconf(_SC_PAGESIZE);
    auto *mem = static_cast<char *>(mmap(nullptr, size_t(page) * 2, PROT_READ | PROT_WRITE,
                                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_EQ(mprotect(mem + page, size_t(page), PROT_NONE), 0);
    char *name = mem + page - NETCTL_NAME_MAX;
    memset(name, 'n', NETCTL_NAME_MAX);
    memcpy(name, "nul.", 4);
    name[NETCTL_NAME_MAX - 1] = '.';  // the 128th byte starts a component
    EXPECT_EQ(netctl_register_vars(name, &shead, nullptr, 0, nullptr), -1);
    ASSERT_EQ(reg(std::string(name, 127)), 0);
    resolved r = resolve_n(name, 5000);  // counts past the buffer are cut to it
    EXPECT_EQ(r.np, lookup(std::string(name, 127)));
    EXPECT_EQ(r.remaining, 1);
    munmap(mem, size_t(page) * 2);
}

TEST(NetctlLeaf, ReadsOfVarsAndElementLeaves) {
    static char text[] = "txt";
    static stats st = {5, 7, nullptr};
    static struct kv_var rw = svars[0], ro = svars[1];
    ro.kv_flags = KVF_RDONLY;
    ASSERT_EQ(reg("leaf.stats", &st), 0);
    ASSERT_EQ(netctl_register_elem("leaf.rw", &rw, &st, nullptr), 0);
    ASSERT_EQ(netctl_register_elem("leaf.ro", &ro, &st, nullptr), 0);
    struct netctl_node *np = lookup("leaf.stats"), *nrw = lookup("leaf.rw"),
                       *nro = lookup("leaf.ro");
    alignas(8) static char data[NETCTL_DATA_SIZE];
    netctl_tree_guard g;
    const struct netctl_leaf_ops *ops = np->nctl_leaf->nl_ops;
    // The buffer holds other bytes where the string value goes: a null
    // string must come out null, not as a pointer to release.
    memset(data, 0x5A, sizeof(data));
    ASSERT_EQ(ops->nlo_read_all(np, data, nullptr), 3 * 224);
    EXPECT_EQ(recs(data)[2].kr_value.str, nullptr);
    st.label = text;
    ops->nlo_read_all(np, data, nullptr);
    EXPECT_STREQ(recs(data)[2].kr_value.str, "txt");
    kv_record_release(recs(data), 3);

    recs(data)->kr_value.u32 = 99;
    nrw->nctl_leaf->nl_ops->nlo_write(nrw, data, nullptr);
    EXPECT_EQ(nro->nctl_leaf->nl_ops->nlo_write(nro, data, nullptr), 1);
    EXPECT_EQ(st.hits + st.bytes, 99u + 7u);  // only the writable one changed
}

TEST(NetctlLeaf, ReadAllFitsTheBufferUpTo146Variables) {
    static struct kv_var many[147];
    for (int i = 0; i < 147; i++)
        many[i] = {"v", KV_T_U32, 0, 4, 0, 0, uint16_t(4 * i)};
    static struct kv_head kh146 = {"many", 2, 0, 146, {}, 0, nullptr, many, nullptr, nullptr, {}};
    static struct kv_head kh147 = {"many", 2, 0, 147, {}, 0, nullptr, many, nullptr, nullptr, {}};
    static uint32_t block[147];
    ASSERT_EQ(netctl_register_vars("many.146", &kh146, block, 0, nullptr), 0);
    ASSERT_EQ(netctl_register_vars("many.147", &kh147, block, 0, nullptr), 0);
    alignas(8) static char data[NETCTL_DATA_SIZE];
    EXPECT_EQ(netctl_vars_iterate(lookup("many.146"), data, nullptr), 32704);
    EXPECT_DEATH(netctl_vars_iterate(lookup("many.147"), data, nullptr),
                 "netctl_vars_iterate: Assertion `size < \\(32\\*1024\\)' failed");
}

TEST(NetctlResolve, PathsRestsAndParentMode) {
    ASSERT_EQ(reg("res.nmem.stats"), 0);
    ASSERT_EQ(reg("res.kv.stats"), 0);
    ASSERT_EQ(reg("only.nmem.stats"), 0);
    resolved r = resolve("res.nmem.stats.allocs");
    EXPECT_EQ(r.np, lookup("res.nmem.stats"));
    EXPECT_EQ(r.path, "res.nmem.stats");
    EXPECT_EQ(r.remaining, 7);
    r = resolve("only");  // the whole label, whole path
    EXPECT_EQ(r.path, "only.nmem.stats");
    EXPECT_EQ(r.remaining, 0);
    r = resolve("res.nmemx");
    EXPECT_EQ(r.np, lookup("res"));
    EXPECT_EQ(r.remaining, 6);
    EXPECT_EQ(resolve("").np, netctl_root());
    r = resolve("res.nmem.stats", true);
    EXPECT_EQ(r.np, lookup("res"));
    EXPECT_EQ(r.path, "res");
}

TEST_F(NetctlTable, TableWildcardsInstancesAndParentMode) {
    struct netctl_node *tbl = lookup("tbl.*"), *st = lookup("tbl.*.stats");
    for (const char *name : {"tbl.*", "tbl.a"}) {  // two characters: the wildcard
        resolved r = resolve(name);
        EXPECT_EQ(r.np, tbl);
        EXPECT_EQ(r.path + std::to_string(r.remaining), "tbl.*0");
    }
    resolved r = resolve("tbl.inst2.stats.hits");
    EXPECT_EQ(r.np, st);
    EXPECT_EQ(r.path, "tbl.inst2.stats");
    EXPECT_EQ(r.remaining, 5);
    EXPECT_EQ(r.instance, &insts[1]);
    r = resolve("tbl.nosuch.stats");
    EXPECT_EQ(r.path + std::to_string(r.remaining), "tbl.*13");
    EXPECT_EQ(r.instance, nullptr);
    r = resolve("tbl.inst1", true);
    EXPECT_EQ(r.np, tbl);
    EXPECT_EQ(r.path, "tbl");
    EXPECT_EQ(r.instance, nullptr);
    EXPECT_EQ(resolve("tbl.*", true).np, netctl_root());
}

int long_parse(struct netctl_node *, const char *name, int len, void **instance) {
    int n = 1;
    while (n < len && name[n] != '.')
        n++;
    *instance = &dflt;
    return n;
}

TEST(NetctlResolve, PathThatWouldOverflowStopsAtTheLastNodeThatFits) {
    static const struct netctl_node_ops ops = {long_parse, nullptr, nullptr, nullptr};
    ASSERT_EQ(netctl_register_node("ovf.*", &ops), 0);
    ASSERT_EQ(reg("ovf.*.stats"), 0);
    req->nr_fd = -12345;                                           // right behind the path buffer
    std::string name = "ovf." + std::string(117, 'i') + ".stats";  // 127 bytes
    EXPECT_EQ(resolve(name).path, name);
    name = "ovf." + std::string(118, 'i') + ".stats";  // 128 bytes, no NUL
    resolved r = resolve_n(name.data(), int(NETCTL_NAME_MAX));
    EXPECT_EQ(r.np, lookup("ovf.*"));
    EXPECT_EQ(r.path, name.substr(0, 122));
    EXPECT_EQ(r.remaining, 6);
    EXPECT_EQ(req->nr_fd, -12345);
}

std::vector<std::string> seen;
int collect(struct netctl_node *np, void *, struct netctl_req *rq, void *instance) {
    seen.push_back(rq->nr_path + std::string(np->nctl_leaf ? " L" : " -") +
                   (instance ? std::string(" @") + static_cast<inst *>(instance)->name : ""));
    return seen.size() == 2 && strncmp(rq->nr_path, "stop.", 5) == 0 ? -1 : 0;
}

std::vector<std::string> walk(const std::string &name, void *instance = nullptr) {
    seen.clear();
    req->nr_path[0] = 0;
    netctl_tree_guard g;
    netctl_walk(netctl_lookup_locked(nullptr, name.data(), name.size(), 0), req->nr_path,
                req->nr_data, collect, req.get(), instance);
    EXPECT_STREQ(req->nr_path, "");  // cut back afterwards
    return seen;
}

TEST_F(NetctlTable, WalksAreChildrenFirstAndVisitEveryInstance) {
    for (const char *n : {"walk.b.one", "walk.b.two", "walk.a", "stop.a", "stop.b", "stop.c"})
        ASSERT_EQ(reg(n), 0);
    EXPECT_THAT(walk("walk"),
                ElementsAre("walk.b.one L", "walk.b.two L", "walk.b -", "walk.a L", "walk -"));
    EXPECT_EQ(walk("stop").size(), 2u);  // -1 stops at once
    std::string out = qt::captured([] {
        EXPECT_THAT(walk("tbl.*"),
                    ElementsAre("tbl.inst1.stats L @inst1", "tbl - @inst1",
                                "tbl.inst2.stats L @inst2", "tbl - @inst2", "tbl -"));
    });
    EXPECT_THAT(out, HasSubstr("ERROR netctl_walk_visit: path too long tbl"));
}

TEST(NetctlDeathTest, SecondLeafAndUnlockedAccessStop) {
    EXPECT_DEATH(
        {
            reg("dup.stats");
            reg("dup.stats");
        },
        "src/core/netctl/netctl_vars.cc:[0-9]+: netctl_register_vars: Assertion "
        "`np->nctl_leaf == \\(\\(void \\*\\)0\\)' failed");
    EXPECT_DEATH(netctl_lookup_locked(nullptr, "x", 1, 0),
                 "netctl_lookup_locked: Assertion `netctl tree lock held' failed");
}

}  // namespace
