// netctl_vars: the control tree, its lock, registration, lookup, request
// name resolution, walks and the built-in leaf tables.
//
// Every access to the tree goes through one process-wide lock (a mutex).
// Registration functions take it themselves; netctl_lookup_locked,
// netctl_resolve and the walks expect the caller to hold it (the control
// socket holds it while it resolves a request and reads its answer, not
// while it sends).  Leaf and table operations run with the lock held and
// must not register anything.
//
// Names are taken with explicit lengths wherever they may come from a peer:
// a request name may fill all 128 bytes of its buffer without a NUL.
// Registered names are NUL-terminated C strings of at most 127 bytes with
// no empty component (no leading, trailing or doubled '.').
#pragma once

#include <pthread.h>

#include "core/netctl/netctl.h"

// Initialises the tree lock.  Safe to call any number of times, from any
// thread; the lock functions call it themselves, so registering before the
// netctl module has started is safe too.
void netctl_lock_init(void);
void netctl_tree_lock(void);
void netctl_tree_unlock(void);

// Holds the tree lock for its scope.
class netctl_tree_guard {
  public:
    netctl_tree_guard() { netctl_tree_lock(); }
    ~netctl_tree_guard() { netctl_tree_unlock(); }
    netctl_tree_guard(const netctl_tree_guard &) = delete;
    netctl_tree_guard &operator=(const netctl_tree_guard &) = delete;
};

// The root: a static node with an empty label.
struct netctl_node *netctl_root(void);

// Attach a leaf to the node of name, creating the node.  Null ops select the
// vars table, respectively the writable or (KVF_RDONLY) read-only element
// table.  0, or -1 when the name is refused or an allocation failed.  A
// second leaf on the same name stops the process.
int netctl_register_vars(const char *name, struct kv_head *kh, void *base, int32_t offset,
                         const struct netctl_leaf_ops *ops);
int netctl_register_elem(const char *name, struct kv_var *kv, void *data,
                         const struct netctl_leaf_ops *ops);
// Marks the node of name (normally ending in ".*") as a table node.
int netctl_register_node(const char *name, const struct netctl_node_ops *ops);

// Finds the node of the len bytes at name below start (null: the root).
// Without create: the deepest node whose full name is a prefix of the name
// (a name may also end at a dot inside a compressed label).  With create:
// the node of exactly that name, created (splitting a label at a dot if
// needed), or null when the name is refused or memory ran out.
struct netctl_node *netctl_lookup(struct netctl_node *start, const char *name, size_t len,
                                  int create);
struct netctl_node *netctl_lookup_locked(struct netctl_node *start, const char *name, size_t len,
                                         int create);

// Resolves req->nr_name (*remaining bytes in, at most NETCTL_NAME_MAX) under
// the tree lock: returns the deepest node matched, leaves its canonical path
// in req->nr_path, the bytes not consumed in *remaining and the instance
// found on the way (or null) in *instance.  Honours req->nr_parent.  A path
// that would not fit its buffer ends the resolution at the last node whose
// path fits.
struct netctl_node *netctl_resolve(struct netctl_req *req, int *remaining, void **instance);

// Post-order walk of the subtree of np; path is a NETCTL_NAME_MAX buffer
// holding the path above np.  -1 from cb stops the walk and is returned.
int netctl_walk(struct netctl_node *np, char *path, void *data, netctl_walk_fn cb,
                struct netctl_req *req, void *instance);
// Per-instance step of a walk, handed to a table node's iterate operation.
int netctl_walk_visit(struct netctl_node *np, void *data, struct netctl_walk_ctx *ctx);
// cb on each child of np (or, for a table node without an instance, on each
// instance its list operation reports).  -1 with no children.
int netctl_walk_children(struct netctl_node *np, void *data, netctl_walk_fn cb,
                         struct netctl_req *req, void *instance);

// The built-in leaf tables.
extern const struct netctl_leaf_ops netctl_vars_ops;
extern const struct netctl_leaf_ops netctl_elem_ops;
extern const struct netctl_leaf_ops netctl_elem_ro_ops;

// What the server may assume of the result of leaf operation fn.
#define NETCTL_FN_BUILTIN 0x01  // one of ours: whole records, and 1 means none
#define NETCTL_FN_COPIES 0x02   // its string values are strdup copies for the caller
int netctl_leaf_fn_kind(netctl_leaf_fn fn);

// Read-all of a vars leaf: one record per variable from the start of data;
// returns 224 x nvars.  Heads of more than 146 variables stop the process.
// String values in the records are strdup copies: release them with
// kv_record_release once sent.
int netctl_vars_iterate(struct netctl_node *np, void *data, void *instance);
