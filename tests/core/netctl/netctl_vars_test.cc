// Control tree: shapes, lookups, registration, resolution, walks, leaves.
//
// The tree is process-wide and nothing is ever removed from it, so every
// test works under a first name component of its own.
#include "core/netctl/netctl_vars.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/logging.h"
#include "core/nmem.h"

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

struct netctl_node *child(const struct netctl_node *np, const std::string &label) {
    for (struct netctl_node *c : np->nctl_children)
        if (label == std::string(c->nctl_label, size_t(c->nctl_label_len))) return c;
    return nullptr;
}

// Root children whose label starts with prefix.
std::vector<std::string> root_labels(const std::string &prefix) {
    std::vector<std::string> out;
    for (const std::string &l : labels(netctl_root()))
        if (l.compare(0, prefix.size(), prefix) == 0) out.push_back(l);
    return out;
}

struct netctl_node *lookup(const std::string &name, int create = 0) {
    return netctl_lookup(nullptr, name.data(), name.size(), create);
}

// The same, for callers that hold the tree lock.
struct netctl_node *lookup_raw(const std::string &name) {
    return netctl_lookup_locked(nullptr, name.data(), name.size(), 0);
}

// A statistics block and its head.
struct stats {
    uint32_t hits;
    uint32_t misses;
    uint64_t bytes;
    char *label;
};
struct kv_var stats_vars[] = {
    {"hits", KV_T_U32, 0, 4, 0, 0, offsetof(stats, hits)},
    {"misses", KV_T_U32, 0, 4, 0, 0, offsetof(stats, misses)},
    {"bytes", KV_T_U64, 0, 8, 0, 0, offsetof(stats, bytes)},
    {"label", KV_T_STRING, 0, 8, 0, 0, offsetof(stats, label)},
};
struct kv_head stats_head = {"statshead", 2,          0,       4,       {}, sizeof(stats),
                             nullptr,     stats_vars, nullptr, nullptr, {}};

int reg(const std::string &name, void *base = nullptr, int32_t offset = 0) {
    return netctl_register_vars(name.c_str(), &stats_head, base, offset, nullptr);
}

// Registers name unless an earlier test of this process already did.
void ensure_reg(const std::string &name) {
    struct netctl_node *np = lookup(name);
    if (np->nctl_leaf == nullptr || name != np->nctl_leaf->nl_name) {
        ASSERT_EQ(reg(name), 0);
    }
}

struct kv_record *records(void *data) {
    return static_cast<struct kv_record *>(data);
}

std::unique_ptr<struct netctl_req> new_req() {
    return std::make_unique<struct netctl_req>();
}

struct resolved {
    struct netctl_node *np;
    std::string path;
    int remaining;
    void *instance;
};

resolved resolve(struct netctl_req *req, const char *name, int len, bool parent = false) {
    req->nr_name = name;
    req->nr_parent = parent;
    resolved out{};
    out.remaining = len;
    {
        netctl_tree_guard g;
        out.np = netctl_resolve(req, &out.remaining, &out.instance);
    }
    out.path = req->nr_path;
    return out;
}

resolved resolve(const std::string &name, bool parent = false) {
    static std::unique_ptr<struct netctl_req> req = new_req();
    return resolve(req.get(), name.data(), int(name.size()), parent);
}

/*
 * A table node "tbl.*" with two instances and a vars leaf below it.
 */
struct inst {
    const char *name;
    stats st;
};
inst insts[2] = {{"inst1", {11, 12, 13, nullptr}}, {"inst2", {21, 22, 23, nullptr}}};
inst default_inst = {"none", {1, 2, 3, nullptr}};

int t_parse(struct netctl_node *, const char *name, int len, void **instance) {
    if (len < 2 || name[0] != '.') return 0;
    int n = 1;
    while (n < len && name[n] != '.')
        n++;
    for (inst &i : insts) {
        if (size_t(n - 1) == strlen(i.name) && memcmp(name + 1, i.name, size_t(n - 1)) == 0) {
            *instance = &i;
            return n;
        }
    }
    return 0;
}

int t_list(struct netctl_node *np, void *data, netctl_walk_fn cb, struct netctl_req *req, void *) {
    int rc = -1;
    for (inst &i : insts) {
        strcpy(static_cast<char *>(data), i.name);
        if ((rc = cb(np, data, req, &i)) == -1) return -1;
    }
    return rc;
}

int t_iterate(struct netctl_node *np, void *data, netctl_visit_fn visit,
              struct netctl_walk_ctx *ctx) {
    for (inst &i : insts) {
        snprintf(static_cast<char *>(data), NETCTL_NAME_MAX, ".%s", i.name);
        ctx->nwc_instance = &i;
        if (visit(np, data, ctx) == -1) return -1;
    }
    return 0;
}

const struct netctl_node_ops table_ops = {t_parse, t_list, t_iterate, nullptr};

class NetctlTable : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(netctl_register_node("tbl.*", &table_ops), 0);
        ASSERT_EQ(reg("tbl.*.stats", &default_inst, offsetof(inst, st)), 0);
        ASSERT_EQ(reg("tbl.*.more", &default_inst, offsetof(inst, st)), 0);
    }
};

/*
 * Shapes.
 */

TEST(NetctlTree, SplitsAtTheLastCommonDot) {
    ASSERT_EQ(reg("core.nmem.stats"), 0);
    ASSERT_EQ(reg("core.kv.stats"), 0);
    EXPECT_THAT(root_labels("core"), ElementsAre("core"));
    struct netctl_node *core = child(netctl_root(), "core");
    EXPECT_THAT(labels(core), ElementsAre(".nmem.stats", ".kv.stats"));
    EXPECT_EQ(core->nctl_leaf, nullptr);
    EXPECT_EQ(core->nctl_parent, netctl_root());
    struct netctl_node *nmem = child(core, ".nmem.stats");
    EXPECT_EQ(nmem->nctl_parent, core);
    ASSERT_NE(nmem->nctl_leaf, nullptr);
    EXPECT_STREQ(nmem->nctl_leaf->nl_name, "core.nmem.stats");
    EXPECT_EQ(nmem->nctl_flags, NETCTL_LEAF);
    // The label moved down keeps nothing of its old head behind its end.
    EXPECT_EQ(nmem->nctl_label_len, 11);
    for (size_t i = 11; i < NETCTL_NAME_MAX; i++)
        ASSERT_EQ(nmem->nctl_label[i], 0) << i;
    // A name ending where a label goes on with a dot becomes a sibling.
    ASSERT_EQ(reg("core.kv"), 0);
    EXPECT_THAT(labels(core), ElementsAre(".nmem.stats", ".kv.stats", ".kv"));

    // A deeper common dot, then a shallower one: the subtree moves whole.
    ASSERT_EQ(reg("deep.alpha.x"), 0);
    ASSERT_EQ(reg("deep.alpha.y"), 0);
    ASSERT_EQ(reg("deep.beta"), 0);
    EXPECT_THAT(root_labels("deep"), ElementsAre("deep"));
    struct netctl_node *deep = child(netctl_root(), "deep");
    EXPECT_THAT(labels(deep), ElementsAre(".alpha", ".beta"));
    struct netctl_node *alpha = child(deep, ".alpha");
    EXPECT_THAT(labels(alpha), ElementsAre(".x", ".y"));
    EXPECT_EQ(child(alpha, ".x")->nctl_parent, alpha);
    EXPECT_EQ(alpha->nctl_parent, deep);
}

TEST(NetctlTree, OneCharacterComponentsAndDotEndingsDoNotSplit) {
    ASSERT_EQ(reg("a.x"), 0);
    ASSERT_EQ(reg("a.y"), 0);
    EXPECT_THAT(root_labels("a."), ElementsAre("a.x", "a.y"));

    // A name that ends where a label continues with a dot becomes its
    // sibling, not its parent.
    ASSERT_EQ(reg("kvx.kv.stats"), 0);
    ASSERT_EQ(reg("kvx.kv"), 0);
    struct netctl_node *kvx = child(netctl_root(), "kvx");
    ASSERT_NE(kvx, nullptr);
    EXPECT_THAT(labels(kvx), ElementsAre(".kv.stats", ".kv"));
}

TEST(NetctlTree, SplitParentGoesToTheEndOfTheList) {
    ASSERT_EQ(reg("ord1.one"), 0);
    ASSERT_EQ(reg("ord2"), 0);
    ASSERT_EQ(reg("ord1.two"), 0);
    EXPECT_THAT(root_labels("ord"), ElementsAre("ord2", "ord1"));
}

TEST(NetctlTree, LookupsWithAndWithoutCreate) {
    ASSERT_EQ(reg("solo.nmem.stats"), 0);
    struct netctl_node *solo = lookup("solo.nmem.stats");
    ASSERT_NE(solo, nullptr);
    EXPECT_STREQ(solo->nctl_leaf->nl_name, "solo.nmem.stats");
    // Without create: a name may end at a dot inside the label...
    EXPECT_EQ(lookup("solo"), solo);
    EXPECT_EQ(lookup("solo.nmem"), solo);
    // ...but not inside a component.
    EXPECT_EQ(lookup("sol"), netctl_root());
    EXPECT_EQ(lookup("solo.nm"), netctl_root());
    // The deepest node whose name is a prefix.
    EXPECT_EQ(lookup("solo.nmem.stats.allocs"), solo);
    EXPECT_TRUE(root_labels("solo") == std::vector<std::string>{"solo.nmem.stats"});

    // With create: exactly that node.
    EXPECT_EQ(lookup("solo.nmem.stats", 1), solo);
    struct netctl_node *made = lookup("solo.nmem", 1);
    ASSERT_NE(made, nullptr);
    EXPECT_NE(made, solo);
    EXPECT_EQ(made->nctl_leaf, nullptr);
    struct netctl_node *top = child(netctl_root(), "solo");
    ASSERT_NE(top, nullptr);
    EXPECT_THAT(labels(top), ElementsAre(".nmem.stats", ".nmem"));
    // From a start node.
    struct netctl_node *below = netctl_lookup(solo, ".extra", 6, 1);
    ASSERT_NE(below, nullptr);
    EXPECT_EQ(below->nctl_parent, solo);
    EXPECT_EQ(lookup("solo.nmem.stats.extra"), below);
}

TEST(NetctlTree, RefusedNamesLeaveTheTreeAlone) {
    std::vector<std::string> before = labels(netctl_root());
    std::string longest(127, 'l');
    longest[10] = '.';
    std::string too_long = longest + "x";
    const char *bad[] = {"", ".lead", "trail.", "two..dots", "trail.x.", too_long.c_str()};
    for (const char *name : bad) {
        int rc = 0;
        std::string out = echoed([&] { rc = reg(name); });
        EXPECT_EQ(rc, -1) << name;
        EXPECT_THAT(out, HasSubstr("ERROR netctl_register_vars: lookup failed " +
                                   std::string(name).substr(0, 127)));
    }
    EXPECT_EQ(labels(netctl_root()), before);

    // 127 bytes fit, with the label length as a signed byte.
    ASSERT_EQ(reg(longest), 0);
    before = labels(netctl_root());
    struct netctl_node *np = lookup(longest);
    EXPECT_EQ(np->nctl_label_len, 127);
    EXPECT_EQ(np->nctl_leaf->nl_name, longest);
    // Below it nothing more fits.
    EXPECT_EQ(netctl_lookup(np, ".x", 2, 1), nullptr);

    struct kv_var v = {};
    std::string out = echoed([&] { EXPECT_EQ(netctl_register_elem("x..y", &v, &v, nullptr), -1); });
    EXPECT_THAT(out, HasSubstr("ERROR netctl_register_elem: lookup failed x..y"));
    out = echoed([&] { EXPECT_EQ(netctl_register_node("", &table_ops), -1); });
    EXPECT_THAT(out, HasSubstr("ERROR netctl_register_node: lookup failed "));
    EXPECT_EQ(labels(netctl_root()), before);
}

TEST(NetctlTree, NamesWithoutNulAreReadWithinTheirBuffer) {
    // A 128-byte name at the very end of a readable page: any read past it
    // faults.
    long page = sysconf(_SC_PAGESIZE);
    auto *mem = static_cast<char *>(mmap(nullptr, size_t(page) * 2, PROT_READ | PROT_WRITE,
                                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(mem, MAP_FAILED);
    ASSERT_EQ(mprotect(mem + page, size_t(page), PROT_NONE), 0);
    char *name = mem + page - NETCTL_NAME_MAX;
    memset(name, 'n', NETCTL_NAME_MAX);
    memcpy(name, "nul.", 4);
    // 128 bytes: no room for its NUL.
    EXPECT_EQ(netctl_register_vars(name, &stats_head, nullptr, 0, nullptr), -1);

    std::string prefix(name, 127);
    ASSERT_EQ(reg(prefix), 0);
    auto req = new_req();
    resolved r = resolve(req.get(), name, int(NETCTL_NAME_MAX));
    EXPECT_EQ(r.np, lookup(prefix));
    EXPECT_EQ(r.path, prefix);
    EXPECT_EQ(r.remaining, 1);
    // A remaining count beyond the name buffer is cut to it.
    r = resolve(req.get(), name, 5000);
    EXPECT_EQ(r.remaining, 1);
    EXPECT_EQ(lookup(std::string(name, NETCTL_NAME_MAX)), lookup(prefix));
    munmap(mem, size_t(page) * 2);
}

/*
 * Leaves.
 */

TEST(NetctlLeaf, VarsReadOneAndReadAll) {
    static stats st = {5, 6, 7, nullptr};
    ASSERT_EQ(reg("leaf.stats", &st), 0);
    struct netctl_node *np = lookup("leaf.stats");
    EXPECT_EQ(np->nctl_leaf->nl_ops, &netctl_vars_ops);
    alignas(8) static char data[NETCTL_DATA_SIZE];
    netctl_tree_guard g;

    strcpy(data, "misses");
    ASSERT_EQ(np->nctl_leaf->nl_ops->nlo_read(np, data, nullptr), 224);
    EXPECT_STREQ(records(data)->kr_name, "misses");
    EXPECT_STREQ(records(data)->kr_head, "statshead");
    EXPECT_EQ(records(data)->kr_value.u32, 6u);
    strcpy(data, "nosuch");
    EXPECT_EQ(np->nctl_leaf->nl_ops->nlo_read(np, data, nullptr), 0);
    // The name is compared over at most 64 characters.
    memset(data, 'h', 100);
    EXPECT_EQ(np->nctl_leaf->nl_ops->nlo_read(np, data, nullptr), 0);

    EXPECT_EQ(np->nctl_leaf->nl_ops->nlo_write(np, data, nullptr), 1);
    records(data)[0].kr_head[0] = 'Q';
    ASSERT_EQ(np->nctl_leaf->nl_ops->nlo_read_all(np, data, nullptr), 4 * 224);
    EXPECT_STREQ(records(data)[0].kr_name, "hits");
    EXPECT_EQ(records(data)[0].kr_value.u32, 5u);
    EXPECT_EQ(records(data)[2].kr_value.u64, 7u);
    EXPECT_EQ(records(data)[0].kr_head[0], 'Q');  // read-all names no head
    kv_record_release(records(data), 4);
}

TEST(NetctlLeaf, StringRecordsNeverCarryStaleValues) {
    static char text[] = "txt";
    static stats st = {0, 0, 0, text};
    ASSERT_EQ(reg("strs.stats", &st), 0);
    struct netctl_node *np = lookup("strs.stats");
    alignas(8) static char data[NETCTL_DATA_SIZE];
    netctl_tree_guard g;
    // An earlier response left other bytes where the string value goes.
    memset(data, 0x5A, sizeof(data));
    st.label = nullptr;
    np->nctl_leaf->nl_ops->nlo_read_all(np, data, nullptr);
    EXPECT_EQ(records(data)[3].kr_value.str, nullptr);
    kv_record_release(records(data), 4);  // nothing to release, nothing freed

    st.label = text;
    np->nctl_leaf->nl_ops->nlo_read_all(np, data, nullptr);
    char *copy = records(data)[3].kr_value.str;
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "txt");
    kv_record_release(records(data), 4);
    // Read one variable into the same place: a null string is null.
    st.label = nullptr;
    records(data)[0].kr_value.u64 = 0x1234;
    strcpy(data, "label");
    ASSERT_EQ(np->nctl_leaf->nl_ops->nlo_read(np, data, nullptr), 224);
    EXPECT_EQ(records(data)[0].kr_value.str, nullptr);
}

TEST(NetctlLeaf, ElementLeavesWritableAndReadOnly) {
    static stats st = {40, 41, 42, nullptr};
    static struct kv_var rw = {"misses", KV_T_U32, 0, 4, 0, 0, offsetof(stats, misses)};
    static struct kv_var ro = {"hits", KV_T_U32, KVF_RDONLY, 4, 0, 0, offsetof(stats, hits)};
    ASSERT_EQ(netctl_register_elem("elem.rw", &rw, &st, nullptr), 0);
    ASSERT_EQ(netctl_register_elem("elem.ro", &ro, &st, nullptr), 0);
    struct netctl_node *nrw = lookup("elem.rw"), *nro = lookup("elem.ro");
    EXPECT_EQ(nrw->nctl_leaf->nl_ops, &netctl_elem_ops);
    EXPECT_EQ(nro->nctl_leaf->nl_ops, &netctl_elem_ro_ops);
    alignas(8) static char data[NETCTL_DATA_SIZE];
    netctl_tree_guard g;

    ASSERT_EQ(nrw->nctl_leaf->nl_ops->nlo_read(nrw, data, nullptr), 224);
    EXPECT_EQ(records(data)->kr_value.u32, 41u);
    records(data)->kr_value.u32 = 99;
    nrw->nctl_leaf->nl_ops->nlo_write(nrw, data, nullptr);
    EXPECT_EQ(st.misses, 99u);
    EXPECT_EQ(nrw->nctl_leaf->nl_ops->nlo_read_all(nrw, data, nullptr), 1);

    ASSERT_EQ(nro->nctl_leaf->nl_ops->nlo_read(nro, data, nullptr), 224);
    EXPECT_EQ(records(data)->kr_value.u32, 40u);
    records(data)->kr_value.u32 = 7;
    EXPECT_EQ(nro->nctl_leaf->nl_ops->nlo_write(nro, data, nullptr), 1);
    EXPECT_EQ(st.hits, 40u);
    EXPECT_EQ(nro->nctl_leaf->nl_ops->nlo_read_all(nro, data, nullptr), 1);
}

struct kv_var many_vars[147];

struct kv_head many_head(uint16_t n) {
    for (int i = 0; i < 147; i++) {
        snprintf(many_vars[i].kv_name, sizeof(many_vars[i].kv_name), "v%d", i);
        many_vars[i].kv_type = KV_T_U32;
        many_vars[i].kv_size = 4;
        many_vars[i].kv_offset = uint16_t(4 * i);
    }
    struct kv_head kh = {};
    strcpy(kh.kh_name, "many");
    kh.kh_nvars = n;
    kh.kh_vars = many_vars;
    return kh;
}

TEST(NetctlLeaf, ReadAllOf146VariablesFillsTheBuffer) {
    static struct kv_head kh = many_head(146);
    static uint32_t block[147];
    for (int i = 0; i < 147; i++)
        block[i] = uint32_t(1000 + i);
    ASSERT_EQ(netctl_register_vars("many.146", &kh, block, 0, nullptr), 0);
    struct netctl_node *np = lookup("many.146");
    alignas(8) static char data[NETCTL_DATA_SIZE];
    netctl_tree_guard g;
    ASSERT_EQ(netctl_vars_iterate(np, data, nullptr), 32704);
    EXPECT_STREQ(records(data)[145].kr_name, "v145");
    EXPECT_EQ(records(data)[145].kr_value.u32, 1145u);
}

TEST(NetctlLeaf, InstanceAndOffsetSelectTheBlock) {
    static inst here = {"here", {3, 4, 5, nullptr}};
    ASSERT_EQ(reg("offs.stats", &default_inst, offsetof(inst, st)), 0);
    struct netctl_node *np = lookup("offs.stats");
    alignas(8) static char data[NETCTL_DATA_SIZE];
    netctl_tree_guard g;
    strcpy(data, "bytes");
    np->nctl_leaf->nl_ops->nlo_read(np, data, nullptr);
    EXPECT_EQ(records(data)->kr_value.u64, 3u);
    strcpy(data, "bytes");
    np->nctl_leaf->nl_ops->nlo_read(np, data, &here);
    EXPECT_EQ(records(data)->kr_value.u64, 5u);
}

/*
 * Resolution.
 */

TEST(NetctlResolve, ConsumesWholeLabelsAndReportsTheRest) {
    ensure_reg("res.nmem.stats");
    ensure_reg("res.kv.stats");
    resolved r = resolve("res.nmem.stats.allocs");
    EXPECT_EQ(r.np, lookup("res.nmem.stats"));
    EXPECT_EQ(r.path, "res.nmem.stats");
    EXPECT_EQ(r.remaining, 7);
    EXPECT_EQ(r.instance, nullptr);

    // A name that ends at a dot inside a label resolves to the whole label.
    ASSERT_EQ(reg("only.nmem.stats"), 0);
    r = resolve("only");
    EXPECT_EQ(r.np, lookup("only.nmem.stats"));
    EXPECT_EQ(r.path, "only.nmem.stats");
    EXPECT_EQ(r.remaining, 0);

    r = resolve("");
    EXPECT_EQ(r.np, netctl_root());
    EXPECT_EQ(r.path, "");
    r = resolve("nowhere.at.all");
    EXPECT_EQ(r.np, netctl_root());
    EXPECT_EQ(r.remaining, 14);
    r = resolve("res.nmemx");
    EXPECT_EQ(r.np, lookup("res"));
    EXPECT_EQ(r.path, "res");
    EXPECT_EQ(r.remaining, 6);
}

TEST(NetctlResolve, ParentModeAnswersForTheLevelAbove) {
    ensure_reg("res.nmem.stats");
    ensure_reg("res.kv.stats");
    resolved r = resolve("res.nmem.stats", true);
    EXPECT_EQ(r.np, lookup("res"));
    EXPECT_EQ(r.path, "res");
    EXPECT_EQ(r.remaining, 0);
    r = resolve("res", true);
    EXPECT_EQ(r.np, netctl_root());
    EXPECT_EQ(r.path, "");
    // Past a leaf the named node is the deepest match, as without parent mode.
    r = resolve("res.nmem.stats.allocs", true);
    EXPECT_EQ(r.np, lookup("res.nmem.stats"));
    EXPECT_EQ(r.remaining, 7);
}

TEST_F(NetctlTable, TwoCharactersAfterATableAreItsWildcard) {
    struct netctl_node *tbl = lookup("tbl.*");
    ASSERT_NE(tbl, nullptr);
    EXPECT_EQ(tbl->nctl_flags, NETCTL_TABLE);
    // The two characters are the wildcard whatever they are.
    for (const char *name : {"tbl.*", "tbl.a"}) {
        resolved r = resolve(name);
        EXPECT_EQ(r.np, tbl) << name;
        EXPECT_EQ(r.path, "tbl.*");
        EXPECT_EQ(r.remaining, 0);
        EXPECT_EQ(r.instance, nullptr);
    }
    resolved r = resolve("tbl.*", true);
    EXPECT_EQ(r.np, netctl_root());
    EXPECT_EQ(r.path, "");
}

TEST_F(NetctlTable, InstanceSegmentsAreParsedIntoThePath) {
    struct netctl_node *stats_np = lookup("tbl.*.stats");
    ASSERT_NE(stats_np, nullptr);
    resolved r = resolve("tbl.inst2.stats.hits");
    EXPECT_EQ(r.np, stats_np);
    EXPECT_EQ(r.path, "tbl.inst2.stats");
    EXPECT_EQ(r.remaining, 5);
    EXPECT_EQ(r.instance, &insts[1]);

    r = resolve("tbl.inst1");
    EXPECT_EQ(r.np, lookup("tbl.*"));
    EXPECT_EQ(r.path, "tbl.inst1");
    EXPECT_EQ(r.instance, &insts[0]);
    // Parent mode drops the instance that ends the name.
    r = resolve("tbl.inst1", true);
    EXPECT_EQ(r.np, lookup("tbl.*"));
    EXPECT_EQ(r.path, "tbl");
    EXPECT_EQ(r.instance, nullptr);
    EXPECT_EQ(r.remaining, 0);

    // An unknown instance: the table itself, the rest unconsumed.
    r = resolve("tbl.nosuch.stats");
    EXPECT_EQ(r.np, lookup("tbl.*"));
    EXPECT_EQ(r.path, "tbl.*");
    EXPECT_EQ(r.remaining, 13);
    EXPECT_EQ(r.instance, nullptr);
}

int overclaim(struct netctl_node *, const char *, int len, void **instance) {
    *instance = &default_inst;
    return len + 50;
}

TEST(NetctlResolve, ParseClaimingMoreThanThereIsFindsNoInstance) {
    static const struct netctl_node_ops ops = {overclaim, nullptr, nullptr, nullptr};
    ASSERT_EQ(netctl_register_node("over.*", &ops), 0);
    resolved r = resolve("over.abc");
    EXPECT_EQ(r.np, lookup("over.*"));
    EXPECT_EQ(r.path, "over.*");
    EXPECT_EQ(r.remaining, 4);
    EXPECT_EQ(r.instance, nullptr);
}

int long_parse(struct netctl_node *, const char *name, int len, void **instance) {
    int n = 1;
    while (n < len && name[n] != '.')
        n++;
    *instance = &default_inst;
    return n;
}

TEST(NetctlResolve, PathThatWouldOverflowStopsAtTheLastNodeThatFits) {
    static const struct netctl_node_ops ops = {long_parse, nullptr, nullptr, nullptr};
    ASSERT_EQ(netctl_register_node("ovf.*", &ops), 0);
    ASSERT_EQ(reg("ovf.*.stats"), 0);
    auto req = new_req();
    req->nr_fd = -12345;  // right behind the path buffer

    // "ovf" + 118-byte instance + ".stats" = 127 bytes: fits exactly.
    std::string name = "ovf." + std::string(117, 'i') + ".stats";
    ASSERT_EQ(name.size(), 127u);
    resolved r = resolve(req.get(), name.data(), int(name.size()));
    EXPECT_EQ(r.np, lookup("ovf.*.stats"));
    EXPECT_EQ(r.path, name);
    // One byte more and the leaf's label no longer fits behind the instance.
    name = "ovf." + std::string(118, 'i') + ".stats";
    char buf[NETCTL_NAME_MAX];
    memcpy(buf, name.data(), sizeof(buf));  // no NUL
    r = resolve(req.get(), buf, int(sizeof(buf)));
    EXPECT_EQ(r.np, lookup("ovf.*"));
    EXPECT_EQ(r.path, name.substr(0, 122));
    EXPECT_EQ(r.remaining, 6);
    EXPECT_EQ(req->nr_fd, -12345);
    EXPECT_EQ(req->nr_path[NETCTL_NAME_MAX - 1], 0);
}

/*
 * Walks.
 */

struct walk_log {
    std::vector<std::string> seen;
    int stop_after = -1;
};
walk_log wlog;

int collect(struct netctl_node *np, void *, struct netctl_req *req, void *instance) {
    std::string entry = req->nr_path;
    entry += np->nctl_leaf ? " L" : " -";
    if (instance) entry += std::string(" @") + static_cast<inst *>(instance)->name;
    wlog.seen.push_back(entry);
    if (wlog.stop_after >= 0 && int(wlog.seen.size()) >= wlog.stop_after) return -1;
    return 0;
}

std::vector<std::string> walk_from(const std::string &name, const std::string &above,
                                   void *instance = nullptr, int stop_after = -1) {
    auto req = new_req();
    strcpy(req->nr_path, above.c_str());
    wlog = {};
    wlog.stop_after = stop_after;
    netctl_tree_guard g;
    int rc =
        netctl_walk(lookup_raw(name), req->nr_path, req->nr_data, collect, req.get(), instance);
    if (stop_after >= 0) {
        EXPECT_EQ(rc, -1);
    }
    EXPECT_EQ(std::string(req->nr_path), above);  // cut back afterwards
    return wlog.seen;
}

TEST(NetctlWalk, ChildrenBeforeParentsInRegistrationOrder) {
    ASSERT_EQ(reg("walk.b.one"), 0);
    ASSERT_EQ(reg("walk.b.two"), 0);
    ASSERT_EQ(reg("walk.a"), 0);
    EXPECT_THAT(walk_from("walk", ""),
                ElementsAre("walk.b.one L", "walk.b.two L", "walk.b -", "walk.a L", "walk -"));
    // -1 from the callback stops the walk at once.
    EXPECT_THAT(walk_from("walk", "", nullptr, 2), ElementsAre("walk.b.one L", "walk.b.two L"));
}

TEST_F(NetctlTable, WalkVisitsEveryInstance) {
    EXPECT_THAT(walk_from("tbl.*", ""),
                ElementsAre("tbl.inst1.stats L @inst1", "tbl.inst1.more L @inst1", "tbl - @inst1",
                            "tbl.inst2.stats L @inst2", "tbl.inst2.more L @inst2", "tbl - @inst2",
                            "tbl -"));
    // With an instance the resolved path already names it.
    EXPECT_THAT(
        walk_from("tbl.*", "tbl.inst2", &insts[1]),
        ElementsAre("tbl.inst2.stats L @inst2", "tbl.inst2.more L @inst2", "tbl.inst2 - @inst2"));
    EXPECT_THAT(walk_from("tbl.*", "", nullptr, 1), ElementsAre("tbl.inst1.stats L @inst1"));
}

int long_iterate(struct netctl_node *np, void *data, netctl_visit_fn visit,
                 struct netctl_walk_ctx *ctx) {
    memset(data, 'x', 300);  // a segment with no end in sight
    static_cast<char *>(data)[0] = '.';
    static_cast<char *>(data)[300] = 0;
    ctx->nwc_instance = &default_inst;
    if (visit(np, data, ctx) == -1) return -1;
    strcpy(static_cast<char *>(data), ".ok");
    return visit(np, data, ctx);
}

TEST(NetctlWalk, InstanceNamesThatDoNotFitAreSkipped) {
    static const struct netctl_node_ops ops = {nullptr, nullptr, long_iterate, nullptr};
    ASSERT_EQ(netctl_register_node("wlong.*", &ops), 0);
    ASSERT_EQ(reg("wlong.*.s"), 0);
    std::vector<std::string> seen;
    std::string out = echoed([&] { seen = walk_from("wlong.*", ""); });
    EXPECT_THAT(seen, ElementsAre("wlong.ok.s L @none", "wlong - @none", "wlong -"));
    EXPECT_THAT(out, HasSubstr("ERROR netctl_walk_visit: path too long wlong"));
}

TEST_F(NetctlTable, ChildrenAndListedInstances) {
    ASSERT_EQ(reg("kids.b"), 0);
    ASSERT_EQ(reg("kids.a"), 0);
    auto req = new_req();
    netctl_tree_guard g;
    wlog = {};
    EXPECT_EQ(netctl_walk_children(lookup_raw("kids"), req->nr_data, collect, req.get(), nullptr),
              0);
    EXPECT_EQ(wlog.seen.size(), 2u);  // .b and .a
    wlog = {};
    EXPECT_EQ(netctl_walk_children(lookup_raw("kids.a"), req->nr_data, collect, req.get(), nullptr),
              -1);
    EXPECT_TRUE(wlog.seen.empty());
    // A table without an instance lists its instances.
    wlog = {};
    EXPECT_EQ(netctl_walk_children(lookup_raw("tbl.*"), req->nr_data, collect, req.get(), nullptr),
              0);
    EXPECT_THAT(wlog.seen, ElementsAre(" - @inst1", " - @inst2"));
    wlog = {};
    netctl_walk_children(lookup_raw("tbl.*"), req->nr_data, collect, req.get(), &insts[0]);
    EXPECT_EQ(wlog.seen.size(), 2u);  // its two children
}

/*
 * Lock.
 */

TEST(NetctlLock, RegistrationWaitsForTheLockHolder) {
    netctl_lock_init();
    netctl_lock_init();  // harmless again
    static std::atomic<bool> done{false};
    pthread_t t;
    netctl_tree_lock();
    ASSERT_EQ(pthread_create(
                  &t, nullptr,
                  [](void *) -> void * {
                      reg("locked.stats");
                      done = true;
                      return nullptr;
                  },
                  nullptr),
              0);
    usleep(20000);
    EXPECT_FALSE(done.load());
    netctl_tree_unlock();
    pthread_join(t, nullptr);
    EXPECT_TRUE(done.load());
    EXPECT_NE(lookup("locked.stats")->nctl_leaf, nullptr);
}

using NetctlDeathTest = ::testing::Test;

TEST_F(NetctlDeathTest, SecondLeafOnANameStops) {
    EXPECT_DEATH(
        {
            reg("dup.stats");
            reg("dup.stats");
        },
        "src/core/netctl/netctl_vars.cc:[0-9]+: netctl_register_vars: Assertion "
        "`np->nctl_leaf == \\(\\(void \\*\\)0\\)' failed");
    static struct kv_var v = {"v", KV_T_U32, 0, 4, 0, 0, 0};
    EXPECT_DEATH(
        {
            reg("dup2.stats");
            netctl_register_elem("dup2.stats", &v, &v, nullptr);
        },
        "netctl_register_elem: Assertion `np->nctl_leaf == \\(\\(void \\*\\)0\\)' failed");
}

TEST_F(NetctlDeathTest, ReadAllOfMoreThan146VariablesStops) {
    EXPECT_DEATH(
        {
            static struct kv_head kh = many_head(147);
            static uint32_t block[147];
            netctl_register_vars("many.147", &kh, block, 0, nullptr);
            struct netctl_node *np = lookup("many.147");
            alignas(8) static char data[NETCTL_DATA_SIZE];
            netctl_tree_guard g;
            netctl_vars_iterate(np, data, nullptr);
        },
        "netctl_vars_iterate: Assertion `size < \\(32\\*1024\\)' failed");
}

TEST_F(NetctlDeathTest, LockedFunctionsRequireTheLock) {
    auto req = new_req();
    int remaining = 0;
    void *instance;
    EXPECT_DEATH(netctl_lookup_locked(nullptr, "x", 1, 0),
                 "netctl_lookup_locked: Assertion `netctl tree lock held' failed");
    EXPECT_DEATH(netctl_resolve(req.get(), &remaining, &instance),
                 "netctl_resolve: Assertion `netctl tree lock held' failed");
}

}  // namespace
