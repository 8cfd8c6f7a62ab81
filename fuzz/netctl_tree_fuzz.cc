// Fuzz target: registration and lookup of arbitrary dotted names in the
// control tree.  After every step the tree must still be a tree of the
// names registered so far: every registered name finds its own node again,
// labels are cut only at dots, no node is lost, and every link points back
// the way it came.
//
// Input: a sequence of steps.  Each step is an op byte, a length byte and
// the name's bytes: taken as they are, or mapped onto a small alphabet rich
// in dots (so that names share components and labels must split), or
// appended to a name registered earlier (so that the tree grows deep).
#include <cstring>
#include <map>
#include <string>

#include "core/logging.h"
#include "core/netctl/netctl_vars.h"
#include "core/nmem.h"
#include "fuzz_support.h"

namespace fz_tree {

struct kv_var var_rw = {"v", KV_T_U32, 0, 4, 0, 0, 0};
struct kv_var var_ro = {"r", KV_T_U32, KVF_RDONLY, 4, 0, 0, 0};
struct kv_head head = {};
uint32_t block;

// Names the tree promises to take: 1 to 127 bytes, no NUL, no empty
// component.
bool acceptable(const std::string &n) {
    return !n.empty() && n.size() < NETCTL_NAME_MAX && n.find('\0') == std::string::npos &&
           n.front() != '.' && n.back() != '.' && n.find("..") == std::string::npos;
}

std::string full_name(const struct netctl_node *np) {
    std::string s;
    for (; np != nullptr; np = np->nctl_parent)
        s.insert(0, np->nctl_label, size_t(np->nctl_label_len));
    return s;
}

// Is prefix the name itself or one of its leading components?
bool component_prefix(const std::string &prefix, const std::string &name) {
    return name.compare(0, prefix.size(), prefix) == 0 &&
           (name.size() == prefix.size() || name[prefix.size()] == '.');
}

// Checks the links and labels below np; returns the number of nodes there.
size_t check_subtree(struct netctl_node *np, size_t above) {
    size_t count = 0;
    struct netctl_node **prev = &np->nctl_children.tqh_first;
    for (struct netctl_node *c : np->nctl_children) {
        FZ_CHECK(c->nctl_parent == np);
        FZ_CHECK(c->nctl_link.tqe_prev == prev);
        prev = &c->nctl_link.tqe_next;
        FZ_CHECK(c->nctl_label_len > 0);
        size_t len = size_t(c->nctl_label_len);
        FZ_CHECK(above + len < NETCTL_NAME_MAX);
        // No NUL inside the label, nothing left behind after it.
        FZ_CHECK(strnlen(c->nctl_label, NETCTL_NAME_MAX) == len);
        for (size_t i = len; i < NETCTL_NAME_MAX; i++)
            FZ_CHECK(c->nctl_label[i] == '\0');
        // Cut only at dots: below the root a label starts a component, and
        // no label ends one.
        if (np != netctl_root()) FZ_CHECK(c->nctl_label[0] == '.');
        FZ_CHECK(c->nctl_label[len - 1] != '.');
        FZ_CHECK((c->nctl_leaf != nullptr) == ((c->nctl_flags & NETCTL_LEAF) != 0));
        if (c->nctl_leaf != nullptr) FZ_CHECK(full_name(c) == c->nctl_leaf->nl_name);
        count += 1 + check_subtree(c, above + len);
    }
    FZ_CHECK(np->nctl_children.tqh_last == prev);
    return count;
}

void free_subtree(struct netctl_node *np) {
    struct netctl_node *c = np->nctl_children.first();
    while (c != nullptr) {
        struct netctl_node *next = np->nctl_children.next(c);
        free_subtree(c);
        if (c->nctl_leaf != nullptr) nmem_free(c->nctl_leaf);
        nmem_free(c);
        c = next;
    }
    np->nctl_children.init();
}

// Empties the process-wide tree, so that every input starts from nothing.
void reset_tree() {
    netctl_tree_guard guard;
    free_subtree(netctl_root());
}

struct state {
    std::map<std::string, struct netctl_node *> names;  // registered name -> its node
    size_t nodes = 0;                                   // nodes the tree allocated
};

void check_tree(const state &st) {
    size_t reachable;
    {
        netctl_tree_guard guard;
        reachable = check_subtree(netctl_root(), 0);
    }
    FZ_CHECK(reachable == st.nodes);
    for (const auto &[name, np] : st.names) {
        FZ_CHECK(full_name(np) == name);
        FZ_CHECK(netctl_lookup(nullptr, name.data(), name.size(), 0) == np);
    }
}

// A lookup without create ends at the deepest node on the name's way: one
// whose full name is a leading part of the name, or that the name ends
// inside of, at a dot.
void check_lookup(const state &st, const std::string &name) {
    struct netctl_node *np = netctl_lookup(nullptr, name.data(), name.size(), 0);
    FZ_CHECK(np != nullptr);
    std::string f = full_name(np);
    bool inside =
        f.size() > name.size() && f.compare(0, name.size(), name) == 0 && f[name.size()] == '.';
    FZ_CHECK(np == netctl_root() || component_prefix(f, name) || inside);
    for (const auto &[reg, node] : st.names)
        if (component_prefix(reg, name)) FZ_CHECK(f.size() >= reg.size());
}

// A request naming a registered node resolves to it, with its full name as
// the path.  ('*' in a label is a table's wildcard to resolution.)
void check_resolve(const state &st, const std::string &name) {
    static struct netctl_req req;
    if (name.size() >= NETCTL_NAME_MAX || name.find('\0') != std::string::npos) return;
    memset(&req, 0, offsetof(struct netctl_req, nr_data));
    req.nr_name = name.c_str();
    int remaining = int(name.size());
    void *instance = nullptr;
    struct netctl_node *np;
    {
        netctl_tree_guard guard;
        np = netctl_resolve(&req, &remaining, &instance);
    }
    FZ_CHECK(np != nullptr && instance == nullptr);
    FZ_CHECK(remaining >= 0 && size_t(remaining) <= name.size());
    FZ_CHECK(strnlen(req.nr_path, NETCTL_NAME_MAX) < NETCTL_NAME_MAX);
    if (name.find('*') != std::string::npos || strchr(req.nr_path, '*') != nullptr) return;
    FZ_CHECK(full_name(np) == req.nr_path);
    size_t used = name.size() - size_t(remaining);
    FZ_CHECK(std::string(req.nr_path).compare(0, used, name, 0, used) == 0);
    auto it = st.names.find(name);
    if (it != st.names.end()) FZ_CHECK(np == it->second && remaining == 0);
}

std::string next_name(fz::Reader &in, const state &st, uint8_t op) {
    uint8_t len = in.u8();
    std::string base;
    if ((op & 0x40) && !st.names.empty()) {
        auto it = st.names.begin();
        std::advance(it, in.u8() % st.names.size());
        base = it->first;
    }
    if (op & 0x80) return base + in.bytes(len);
    return base + fz::dotted_name(in, len >= 240 ? 120 + (len - 240) : len % 48);
}

int one_input(const uint8_t *data, size_t size) {
    static bool quiet = (tr_set_echo(0), true);
    (void)quiet;
    fz::Reader in(data, size);
    state st;
    reset_tree();
    for (int steps = 0; !in.empty() && steps < 64; steps++) {
        uint8_t op = in.u8();
        std::string name = next_name(in, st, op);
        // Registration takes C strings: the name ends at its first NUL.
        if (op % 5 == 1 || op % 5 == 2) name.resize(strnlen(name.c_str(), name.size()));
        auto known = st.names.find(name);
        uint64_t before = n_counter_get(nmem_stats.ns_alloced_objs);
        bool leaf = false;
        struct netctl_node *np = nullptr;
        switch (op % 5) {
            case 0:
                np = netctl_lookup(nullptr, name.data(), name.size(), 1);
                break;
            case 1:
            case 2: {
                if (!acceptable(name)) {
                    FZ_CHECK(netctl_register_vars(name.c_str(), &head, &block, 0, nullptr) == -1);
                    break;
                }
                if (known != st.names.end() && known->second->nctl_leaf != nullptr) break;
                int rc = op % 5 == 1
                             ? netctl_register_vars(name.c_str(), &head, &block, 0, nullptr)
                             : netctl_register_elem(name.c_str(), (op & 8) ? &var_ro : &var_rw,
                                                    &block, nullptr);
                FZ_CHECK(rc == 0);
                np = netctl_lookup(nullptr, name.data(), name.size(), 0);
                FZ_CHECK(np->nctl_leaf != nullptr && name == np->nctl_leaf->nl_name);
                leaf = true;
                break;
            }
            case 3:
                check_lookup(st, name);
                break;
            default:
                check_resolve(st, name);
                break;
        }
        st.nodes += size_t(n_counter_get(nmem_stats.ns_alloced_objs) - before) - (leaf ? 1 : 0);
        if (op % 5 <= 2 && acceptable(name)) {
            if (op % 5 == 0) FZ_CHECK(np != nullptr && full_name(np) == name);
            if (np != nullptr && known != st.names.end()) FZ_CHECK(np == known->second);
            if (np != nullptr) st.names[name] = np;
        } else if (op % 5 == 0) {
            FZ_CHECK(np == nullptr);
        }
        check_tree(st);
    }
    reset_tree();
    return 0;
}

}  // namespace fz_tree

int fz_run_netctl_tree(const uint8_t *data, size_t size) {
    return fz_tree::one_input(data, size);
}

FZ_DRIVER(fz_run_netctl_tree)
