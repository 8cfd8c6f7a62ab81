// netctl_vars: the control tree.
//
// Locking: one process-private mutex protects the whole tree: the root,
// every node's label, flags, leaf and child list.  Registration takes it;
// lookups with the _locked suffix, resolution and the walks run under it,
// held by the caller.  A request holds it while it resolves its name and
// reads its answer into memory of its own, never while it talks to its
// client, so the lock is held for microseconds.  It is an adaptive mutex: a
// waiter spins a little, then sleeps.  A waiter that only spun would keep
// the processor that a preempted holder needs to finish: with the control
// socket kept busy by local clients, registrations then waited for
// milliseconds.  Nodes and leaves are never removed, so a node pointer stays
// valid after the lock is released, but its children may change.
//
// Shape: the full name of a node is the concatenation of the labels from the
// root down.  A label is cut only at a '.', and never after a first
// component of one character, so the children of a node differ before their
// first common dot.  Labels, leaf names and request paths all live in
// NETCTL_NAME_MAX-byte buffers; registration refuses full names that would
// not fit with their NUL, and resolution and walks stop at a path that would
// overflow instead of writing past it.
#include "core/netctl/netctl_vars.h"

#include <cstring>

#include "core/logging.h"
#include "core/nassert.h"
#include "core/nmem.h"

static pthread_mutex_t netctl_lock;
static pthread_once_t netctl_lock_once = PTHREAD_ONCE_INIT;

static struct netctl_node netctl_root_node = {
    .nctl_label = {},
    .nctl_label_len = 0,
    .nctl_flags = 0,
    .nctl_leaf = nullptr,
    .nctl_ops = nullptr,
    .nctl_parent = nullptr,
    .nctl_link = {nullptr, nullptr},
    .nctl_children = TAILQ_HEAD_INITIALIZER(netctl_root_node.nctl_children),
};

static void netctl_lock_setup(void) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
    int rc = pthread_mutex_init(&netctl_lock, &attr);
    pthread_mutexattr_destroy(&attr);
    N_ASSERT(rc == 0);
}

void netctl_lock_init(void) {
    pthread_once(&netctl_lock_once, netctl_lock_setup);
}

void netctl_tree_lock(void) {
    netctl_lock_init();
    pthread_mutex_lock(&netctl_lock);
}

void netctl_tree_unlock(void) {
    pthread_mutex_unlock(&netctl_lock);
}

// True when some thread holds the tree lock: the most a _locked function
// can check on entry without asking the mutex for its owner.
static bool netctl_lock_held(void) {
    netctl_lock_init();
    if (pthread_mutex_trylock(&netctl_lock) != 0) return true;
    pthread_mutex_unlock(&netctl_lock);
    return false;
}

struct netctl_node *netctl_root(void) {
    return &netctl_root_node;
}

/*
 * Paths: NUL-terminated text in a NETCTL_NAME_MAX-byte buffer.
 */

// Appends n bytes to the path of length *plen.  Refuses (path unchanged)
// when they would not fit with the NUL.
static bool netctl_path_append(char *path, size_t *plen, const char *s, size_t n) {
    if (*plen + n >= NETCTL_NAME_MAX) return false;
    memcpy(path + *plen, s, n);
    *plen += n;
    path[*plen] = '\0';
    return true;
}

static void netctl_path_cut(char *path, size_t *plen, size_t to) {
    *plen = to;
    path[to] = '\0';
}

// A table node's label without its trailing ".*"; any other node's label.
static size_t netctl_label_stem(const struct netctl_node *np) {
    size_t n = size_t(np->nctl_label_len);
    if ((np->nctl_flags & NETCTL_TABLE) && n >= 2 && np->nctl_label[n - 2] == '.' &&
        np->nctl_label[n - 1] == '*')
        n -= 2;
    return n;
}

/*
 * Lookup and insertion.
 */

static size_t netctl_full_len(const struct netctl_node *np) {
    size_t n = 0;
    for (; np != nullptr; np = np->nctl_parent)
        n += size_t(np->nctl_label_len);
    return n;
}

// A name that may become a node: it fits a name buffer below start, holds
// no NUL and has no empty component.  An empty component would leave a
// node whose label is just "." or begins with "..", which no request can
// name sensibly, and an empty name would put a leaf on the root.
static bool netctl_name_ok(const struct netctl_node *start, const char *name, size_t len) {
    if (len == 0 || netctl_full_len(start) + len >= NETCTL_NAME_MAX) return false;
    if (memchr(name, '\0', len) != nullptr) return false;
    if (name[len - 1] == '.') return false;
    if (start == &netctl_root_node && name[0] == '.') return false;
    for (size_t i = 1; i < len; i++)
        if (name[i] == '.' && name[i - 1] == '.') return false;
    return true;
}

static struct netctl_node *netctl_node_alloc(const char *label, size_t len) {
    auto *np = static_cast<struct netctl_node *>(nmem_alloc(sizeof(struct netctl_node), NMEM_ZERO));
    if (np == nullptr) return nullptr;
    memcpy(np->nctl_label, label, len);
    np->nctl_label_len = int8_t(len);
    np->nctl_children.init();
    return np;
}

static void netctl_append_child(struct netctl_node *parent, struct netctl_node *np) {
    np->nctl_parent = parent;
    parent->nctl_children.insert_tail(np);
}

// Splits child x of cur at the common dot d of x's label and the rest of the
// name (r bytes at p): a new node A takes the shared first d bytes and goes
// to the end of cur's children, x keeps the rest of its label below A, and a
// new node B for the rest of the name follows x.  Returns B.  Both nodes
// are allocated before anything is relinked, so a failure leaves the tree
// as it was.
static struct netctl_node *netctl_create_child(struct netctl_node *cur, struct netctl_node *x,
                                               const char *p, size_t r, size_t d) {
    struct netctl_node *a = netctl_node_alloc(p, d);
    if (a == nullptr) {
        tr_log(1, TR_ERROR, "netctl_create_child: parent node alloc error prefix %.*s len %d",
               int(r), p, int(d));
        return nullptr;
    }
    struct netctl_node *b = netctl_node_alloc(p + d, r - d);
    if (b == nullptr) {
        tr_log(1, TR_ERROR, "netctl_create_child: new node alloc error prefix %.*s len %d",
               int(r - d), p + d, int(r - d));
        nmem_free(a);
        return nullptr;
    }
    netctl_append_child(cur, a);
    cur->nctl_children.remove(x);
    size_t xlen = size_t(x->nctl_label_len);
    memmove(x->nctl_label, x->nctl_label + d, xlen - d);
    memset(x->nctl_label + (xlen - d), 0, d);
    x->nctl_label_len = int8_t(xlen - d);
    netctl_append_child(a, x);
    netctl_append_child(a, b);
    return b;
}

// How the rest of a name (r bytes at p) meets the label of child c.
struct netctl_fit {
    size_t k;     // bytes of the name that the child takes
    size_t d;     // the last dot both share before they differ (1 for one at 0), or 0
    bool whole;   // the whole label matches and ends where a component of the name ends
    bool at_dot;  // the name ends inside the label, right before one of its dots
};

static struct netctl_fit netctl_fit_label(const struct netctl_node *c, const char *p, size_t r) {
    struct netctl_fit f = {0, 0, false, false};
    size_t len = size_t(c->nctl_label_len), i = 0;
    for (; i < len && i < r && p[i] == c->nctl_label[i]; i++)
        if (p[i] == '.') f.d = i == 0 ? 1 : i;
    if (i == len) {
        f.whole = r == len || p[len] == '.';
        f.k = len;
    } else if (i == r && c->nctl_label[r] == '.') {
        f.at_dot = true;
        f.k = r;
    }
    return f;
}

// The way down is chosen the same whether a name is being created or looked
// up, so that a name always finds the node it created: among the children
// the longest label that matches whole components wins, whatever the order
// of the siblings (a name that ends at a dot inside a label leaves a sibling
// "core" beside "core.kv", and a label "core" must not take "corex").  Only
// when no label matches whole does a lookup end inside a label at a dot, or
// a creation split the first label it shares a dot with.
struct netctl_node *netctl_lookup_locked(struct netctl_node *start, const char *name, size_t len,
                                         int create) {
    N_ASSERT(netctl_lock_held(), "netctl tree lock held");
    struct netctl_node *cur = start != nullptr ? start : &netctl_root_node;
    if (create && !netctl_name_ok(cur, name, len)) {
        if (tr_mask & 1)
            tr_log(1, TR_ERROR, "netctl_lookup_locked: invalid name %.*s",
                   int(len < 128 ? len : 128), name);
        return nullptr;
    }
    const char *p = name;
    size_t r = len;
    while (r > 0) {
        struct netctl_node *next = nullptr, *inside = nullptr, *split = nullptr;
        size_t next_k = 0, split_d = 0;
        for (struct netctl_node *c : cur->nctl_children) {
            struct netctl_fit f = netctl_fit_label(c, p, r);
            if (f.whole && f.k > next_k) {
                next = c;
                next_k = f.k;
            } else if (f.at_dot && inside == nullptr) {
                inside = c;
            }
            if (!f.whole && split == nullptr && f.d >= 2) {
                split = c;
                split_d = f.d;
            }
        }
        if (next == nullptr && !create && inside != nullptr) {
            next = inside;
            next_k = r;
        }
        if (next == nullptr) {
            if (create && split != nullptr) return netctl_create_child(cur, split, p, r, split_d);
            break;
        }
        p += next_k;
        r -= next_k;
        cur = next;
    }
    if (r == 0 || !create) return cur;
    struct netctl_node *np = netctl_node_alloc(p, r);
    if (np == nullptr) {
        tr_log(1, TR_ERROR, "netctl_lookup_locked: new node alloc error prefix %.*s len %d", int(r),
               p, int(r));
        return nullptr;
    }
    netctl_append_child(cur, np);
    return np;
}

struct netctl_node *netctl_lookup(struct netctl_node *start, const char *name, size_t len,
                                  int create) {
    netctl_tree_guard guard;
    return netctl_lookup_locked(start, name, len, create);
}

/*
 * Registration.
 */

// The node of a registered name, created.  Null when the name is refused
// (too long, empty component) or memory ran out.
static struct netctl_node *netctl_lookup_new(const char *name, int *len) {
    size_t n = strnlen(name, NETCTL_NAME_MAX);
    *len = int(n);
    if (n >= NETCTL_NAME_MAX) return nullptr;
    return netctl_lookup_locked(nullptr, name, n, 1);
}

static struct netctl_leaf *netctl_leaf_alloc(const char *name, size_t len,
                                             const struct netctl_leaf_ops *ops) {
    auto *lp = static_cast<struct netctl_leaf *>(nmem_alloc(sizeof(struct netctl_leaf), NMEM_ZERO));
    if (lp == nullptr) return nullptr;
    memcpy(lp->nl_name, name, len);  // len < NETCTL_NAME_MAX: the zero fill ends it
    lp->nl_ops = ops;
    return lp;
}

static void netctl_attach_leaf(struct netctl_node *np, struct netctl_leaf *lp) {
    np->nctl_leaf = lp;
    np->nctl_flags |= NETCTL_LEAF;
}

int netctl_register_vars(const char *name, struct kv_head *kh, void *base, int32_t offset,
                         const struct netctl_leaf_ops *ops) {
    netctl_tree_guard guard;
    int len;
    struct netctl_node *np = netctl_lookup_new(name, &len);
    if (np == nullptr) {
        tr_log(1, TR_ERROR, "netctl_register_vars: lookup failed %.*s", len, name);
        return -1;
    }
    N_ASSERT(np->nctl_leaf == ((void *)0));
    struct netctl_leaf *lp = netctl_leaf_alloc(name, size_t(len), ops ? ops : &netctl_vars_ops);
    if (lp == nullptr) {
        tr_log(1, TR_ERROR, "netctl_register_vars: alloc failed %.*s", len, name);
        return -1;
    }
    lp->nl_desc.kh = kh;
    lp->nl_base = base;
    lp->nl_offset = offset;
    netctl_attach_leaf(np, lp);
    return 0;
}

int netctl_register_elem(const char *name, struct kv_var *kv, void *data,
                         const struct netctl_leaf_ops *ops) {
    netctl_tree_guard guard;
    int len;
    struct netctl_node *np = netctl_lookup_new(name, &len);
    if (np == nullptr) {
        tr_log(1, TR_ERROR, "netctl_register_elem: lookup failed %.*s", len, name);
        return -1;
    }
    N_ASSERT(np->nctl_leaf == ((void *)0));
    if (ops == nullptr) ops = (kv->kv_flags & KVF_RDONLY) ? &netctl_elem_ro_ops : &netctl_elem_ops;
    struct netctl_leaf *lp = netctl_leaf_alloc(name, size_t(len), ops);
    if (lp == nullptr) {
        tr_log(1, TR_ERROR, "netctl_register_elem: alloc failed %.*s", len, name);
        return -1;
    }
    lp->nl_desc.kv = kv;
    lp->nl_base = data;
    netctl_attach_leaf(np, lp);
    return 0;
}

int netctl_register_node(const char *name, const struct netctl_node_ops *ops) {
    netctl_tree_guard guard;
    int len;
    struct netctl_node *np = netctl_lookup_new(name, &len);
    if (np == nullptr) {
        tr_log(1, TR_ERROR, "netctl_register_node: lookup failed %.*s", len, name);
        return -1;
    }
    np->nctl_flags |= NETCTL_TABLE;
    np->nctl_ops = ops;
    return 0;
}

/*
 * Resolution of request names.
 */

// How child c meets the r bytes at p: 0 not at all, 1 the name ends inside
// the label at a dot, 2 the label matches whole components (or up to the '*'
// of a table).  *kp is the number of bytes the match consumes: the label's
// length, or less when the name ends at a dot inside the label or the label
// reaches the '*' of a table.
static int netctl_resolve_cmp(const struct netctl_node *c, const char *p, int r, int *kp) {
    int k = c->nctl_label_len;
    bool at_dot = r < k && c->nctl_label[r] == '.';
    if (at_dot) k = r;
    for (int i = 0; i < k; i++) {
        if (c->nctl_label[i] == '*') {
            // The ".*" of a table label: the '.' before it belongs to the
            // instance segment that follows.
            *kp = i > 0 ? i - 1 : 0;
            return 2;
        }
        if (i >= r || p[i] != c->nctl_label[i]) return 0;
    }
    *kp = k;
    if (at_dot) return 1;
    return r == k || p[k] == '.' ? 2 : 0;
}

struct netctl_node *netctl_resolve(struct netctl_req *req, int *remaining, void **instance) {
    N_ASSERT(netctl_lock_held(), "netctl tree lock held");
    char *path = req->nr_path;
    size_t plen = 0;
    path[0] = '\0';
    *instance = nullptr;
    int r = *remaining;
    if (r < 0) r = 0;
    if (r > int(NETCTL_NAME_MAX)) r = int(NETCTL_NAME_MAX);
    const char *p = req->nr_name;
    struct netctl_node *cur = &netctl_root_node;

    while (r > 0) {
        // The child is chosen as netctl_lookup_locked chooses it: the
        // longest whole match, else the first label the name ends inside.
        struct netctl_node *c = nullptr, *inside = nullptr;
        int k = 0, inside_k = 0;
        for (struct netctl_node *child : cur->nctl_children) {
            int ck = 0;
            int fit = netctl_resolve_cmp(child, p, r, &ck);
            if (fit == 2 && (c == nullptr || ck > k)) {
                c = child;
                k = ck;
            } else if (fit == 1 && inside == nullptr) {
                inside = child;
                inside_k = ck;
            }
        }
        if (c == nullptr) {
            c = inside;
            k = inside_k;
        }
        if (c == nullptr) break;
        bool table = (c->nctl_flags & NETCTL_TABLE) != 0;
        if (req->nr_parent && (r - k == 0 || (r - k == 2 && table))) {
            r -= k;
            break;
        }
        // From here on a path that does not fit ends the resolution at cur,
        // with the path and the count as they were for cur.
        size_t mark = plen;
        if (!netctl_path_append(path, &plen, c->nctl_label, netctl_label_stem(c))) break;
        if (table) {
            const char *q = p + k;
            int left = r - k;
            if (left == 2) {
                if (!netctl_path_append(path, &plen, ".*", 2)) {
                    netctl_path_cut(path, &plen, mark);
                    break;
                }
                *instance = nullptr;
                r = 0;
                cur = c;
                break;
            }
            void *inst = nullptr;
            const struct netctl_node_ops *ops = c->nctl_ops;
            int n = (ops != nullptr && ops->nno_parse != nullptr)
                        ? ops->nno_parse(c, q, left, &inst)
                        : 0;
            if (n <= 0 || n > left) {
                // No instance recognised (or a parse that claims more than
                // there is): the table itself.
                if (!netctl_path_append(path, &plen, ".*", 2)) {
                    netctl_path_cut(path, &plen, mark);
                    break;
                }
                *instance = nullptr;
                r = left;
                cur = c;
                break;
            }
            if (left - n == 0 && req->nr_parent) {
                *instance = nullptr;
                r = 0;
                cur = c;
                break;
            }
            if (!netctl_path_append(path, &plen, q, size_t(n))) {
                netctl_path_cut(path, &plen, mark);
                break;
            }
            *instance = inst;
            k += n;
        }
        p += k;
        r -= k;
        cur = c;
    }
    *remaining = r;
    return cur;
}

/*
 * Walks.
 */

int netctl_walk(struct netctl_node *np, char *path, void *data, netctl_walk_fn cb,
                struct netctl_req *req, void *instance) {
    size_t mark = strnlen(path, NETCTL_NAME_MAX);
    if (mark >= NETCTL_NAME_MAX) return -1;  // not a path of ours
    size_t plen = mark;
    bool table = (np->nctl_flags & NETCTL_TABLE) != 0;
    int rc;

    if (table && instance == nullptr) {
        if (!netctl_path_append(path, &plen, np->nctl_label, netctl_label_stem(np))) {
            tr_log(1, TR_ERROR, "netctl_walk: path too long %s", path);
            return 0;
        }
        struct netctl_walk_ctx ctx = {path, req, nullptr, cb};
        const struct netctl_node_ops *ops = np->nctl_ops;
        rc = (ops != nullptr && ops->nno_iterate != nullptr)
                 ? ops->nno_iterate(np, data, netctl_walk_visit, &ctx)
                 : 0;
        if (rc == -1) {
            netctl_path_cut(path, &plen, mark);
            return -1;
        }
        rc = cb(np, data, req, nullptr);
        netctl_path_cut(path, &plen, mark);
        return rc;
    }
    // A table node with an instance: the resolved path already ends with
    // the instance segment.
    if (!table) {
        if (!netctl_path_append(path, &plen, np->nctl_label, size_t(np->nctl_label_len))) {
            tr_log(1, TR_ERROR, "netctl_walk: path too long %s", path);
            return 0;
        }
    }
    for (struct netctl_node *c : np->nctl_children) {
        if (netctl_walk(c, path, data, cb, req, instance) == -1) {
            netctl_path_cut(path, &plen, mark);
            return -1;
        }
    }
    rc = cb(np, data, req, instance);
    netctl_path_cut(path, &plen, mark);
    return rc;
}

int netctl_walk_visit(struct netctl_node *np, void *data, struct netctl_walk_ctx *ctx) {
    char *path = ctx->nwc_path;
    size_t mark = strnlen(path, NETCTL_NAME_MAX);
    if (mark >= NETCTL_NAME_MAX) return -1;
    size_t plen = mark;
    const char *seg = static_cast<const char *>(data);
    size_t n = strnlen(seg, NETCTL_NAME_MAX);
    if (n >= NETCTL_NAME_MAX || !netctl_path_append(path, &plen, seg, n)) {
        // This instance cannot be named; the walk goes on with the next.
        tr_log(1, TR_ERROR, "netctl_walk_visit: path too long %s", path);
        return 0;
    }
    for (struct netctl_node *c : np->nctl_children) {
        if (netctl_walk(c, path, data, ctx->nwc_cb, ctx->nwc_req, ctx->nwc_instance) == -1) {
            netctl_path_cut(path, &plen, mark);
            return -1;
        }
    }
    netctl_path_cut(path, &plen, mark);
    return ctx->nwc_cb(np, data, ctx->nwc_req, ctx->nwc_instance);
}

int netctl_walk_children(struct netctl_node *np, void *data, netctl_walk_fn cb,
                         struct netctl_req *req, void *instance) {
    if ((np->nctl_flags & NETCTL_TABLE) && instance == nullptr) {
        const struct netctl_node_ops *ops = np->nctl_ops;
        if (ops == nullptr || ops->nno_list == nullptr) return -1;
        return ops->nno_list(np, data, cb, req, nullptr);
    }
    int rc = -1;
    for (struct netctl_node *c : np->nctl_children) {
        rc = cb(c, data, req, instance);
        if (rc == -1) return -1;
    }
    return rc;
}

/*
 * Leaf tables.
 */

static void *netctl_block(const struct netctl_leaf *lp, void *instance) {
    return static_cast<char *>(instance != nullptr ? instance : lp->nl_base) + lp->nl_offset;
}

// The data buffer is reused from response to response; kv_read_data leaves
// the value of a null string untouched, so a string record starts from a
// cleared value instead of whatever an earlier record left there (which a
// later release would take for a string copy).
static void netctl_record_prepare(struct kv_record *r, const struct kv_var *kv) {
    if (kv_value_type(kv->kv_type) == KV_T_STRING) r->kr_value.str = nullptr;
}

static int netctl_leaf_nop(struct netctl_node *, void *, void *) {
    return 1;
}

static int netctl_vars_read(struct netctl_node *np, void *data, void *instance) {
    const struct netctl_leaf *lp = np->nctl_leaf;
    const struct kv_head *kh = lp->nl_desc.kh;
    const char *want = static_cast<const char *>(data);
    for (int i = 0; i < int(kh->kh_nvars); i++) {
        if (strncmp(kh->kh_vars[i].kv_name, want, KV_NAME_LEN) != 0) continue;
        // The name in data is no longer needed once the variable is found.
        auto *r = static_cast<struct kv_record *>(data);
        netctl_record_prepare(r, &kh->kh_vars[i]);
        kv_read_index(kh, i, netctl_block(lp, instance), r);
        return int(KV_RECORD_SIZE);
    }
    return 0;
}

int netctl_vars_iterate(struct netctl_node *np, void *data, void *instance) {
    const struct netctl_leaf *lp = np->nctl_leaf;
    const struct kv_head *kh = lp->nl_desc.kh;
    int size = int(KV_RECORD_SIZE) * int(kh->kh_nvars);
    N_ASSERT(size < (32 * 1024), "size < (32*1024)");
    auto *r = static_cast<struct kv_record *>(data);
    const void *block = netctl_block(lp, instance);
    for (int i = 0; i < int(kh->kh_nvars); i++) {
        netctl_record_prepare(&r[i], &kh->kh_vars[i]);
        kv_read_data(&kh->kh_vars[i], block, &r[i]);
    }
    return size;
}

static int netctl_elem_read(struct netctl_node *np, void *data, void *) {
    const struct netctl_leaf *lp = np->nctl_leaf;
    auto *r = static_cast<struct kv_record *>(data);
    netctl_record_prepare(r, lp->nl_desc.kv);
    kv_read_data(lp->nl_desc.kv, lp->nl_base, r);
    return int(KV_RECORD_SIZE);
}

static int netctl_elem_write(struct netctl_node *np, void *data, void *) {
    const struct netctl_leaf *lp = np->nctl_leaf;
    kv_write_data(lp->nl_desc.kv, lp->nl_base, static_cast<const struct kv_record *>(data));
    return 0;
}

int netctl_leaf_fn_kind(netctl_leaf_fn fn) {
    if (fn == netctl_vars_read || fn == netctl_vars_iterate || fn == netctl_elem_read)
        return NETCTL_FN_BUILTIN | NETCTL_FN_COPIES;
    if (fn == netctl_leaf_nop || fn == netctl_elem_write) return NETCTL_FN_BUILTIN;
    return 0;
}

const struct netctl_leaf_ops netctl_vars_ops = {netctl_vars_read, netctl_leaf_nop,
                                                netctl_vars_iterate, nullptr};
const struct netctl_leaf_ops netctl_elem_ops = {netctl_elem_read, netctl_elem_write,
                                                netctl_leaf_nop, nullptr};
const struct netctl_leaf_ops netctl_elem_ro_ops = {netctl_elem_read, netctl_leaf_nop,
                                                   netctl_leaf_nop, nullptr};
