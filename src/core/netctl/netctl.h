// netctl: types shared by the control tree (netctl_vars) and the control
// socket (netctl_sock).
//
// The control tree is a radix tree of dotted names whose edges split only at
// '.' characters.  A node may carry a leaf that exposes kv-described
// variables, and may be a table node whose children exist once per instance
// of some object, the instance being chosen by a name segment.  Every name
// buffer (node label, leaf name, request path, message name) is
// NETCTL_NAME_MAX bytes; a full name is at most NETCTL_NAME_MAX - 1 bytes so
// that it always fits with its NUL.
//
// Types only: the tree's lock is described in netctl_vars.h, the server
// thread in netctl_sock.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/kv.h"
#include "core/queue.h"

inline constexpr size_t NETCTL_NAME_MAX = 128;
inline constexpr size_t NETCTL_DATA_SIZE = 32 * 1024;  // a request's data buffer

// netctl_msg flags and ops.
#define NETCTL_F_NAMES 0x01   // list the names below a node
#define NETCTL_F_PARENT 0x02  // resolve to the parent of the named node
#define NETCTL_F_TEXT 0x04    // values as text in each record's text area
#define NETCTL_OP_NONE 0
#define NETCTL_OP_READ 1
#define NETCTL_OP_WRITE 2
#define NETCTL_OP_LIST 3

// Node flags.
#define NETCTL_LEAF 0x01   // nctl_leaf is set
#define NETCTL_TABLE 0x02  // children exist per instance; nctl_ops is set

// Header of every message in both directions, native byte order.  A request
// is exactly one header.  The name is NUL-padded, but a peer may fill all
// 128 bytes: readers bound it by NETCTL_NAME_MAX.
struct netctl_msg {
    char nm_name[NETCTL_NAME_MAX];
    uint8_t nm_op;     // request: NETCTL_OP_*; response: 0
    uint8_t nm_flags;  // request: NETCTL_F_*; response: 0
    uint16_t nm_len;   // response: body bytes that follow
};
static_assert(sizeof(struct netctl_msg) == 132, "netctl_msg is 132 bytes on the wire");
static_assert(offsetof(struct netctl_msg, nm_name) == 0);
static_assert(offsetof(struct netctl_msg, nm_op) == 128);
static_assert(offsetof(struct netctl_msg, nm_flags) == 129);
static_assert(offsetof(struct netctl_msg, nm_len) == 130);

// The text area of a record in an answer to NETCTL_F_TEXT: bytes 64-127,
// the second half of the name field, which a variable name (at most 63
// characters, the kv descriptor's bound) leaves free.  It holds the value's
// text, NUL-terminated, cut with KV_TEXT_CUT when it does not fit; a name
// that would reach it is cut to 63 characters.  Whatever the flags, the
// value field of a string or address-list record is 0 on the wire.
inline constexpr size_t NETCTL_TEXT_OFF = 64;
inline constexpr size_t NETCTL_TEXT_SIZE = 64;
static_assert(NETCTL_TEXT_OFF + NETCTL_TEXT_SIZE == offsetof(struct kv_record, kr_head),
              "the text area ends where the head name begins");
static_assert(offsetof(struct kv_record, kr_name) + NETCTL_TEXT_OFF == 64,
              "the text area is bytes 64-127 of a record");
static_assert(NETCTL_TEXT_OFF >= KV_NAME_LEN - 1, "a descriptor's name ends before the text");
static_assert(offsetof(struct kv_record, kr_value) == 200 && sizeof(struct kv_record) == 224,
              "the value field that the wire clears, in the 224-byte record");

static inline char *netctl_record_text(struct kv_record *r) {
    return r->kr_name + NETCTL_TEXT_OFF;
}

// Most bytes that one request may gather for its answer (headers and
// bodies): see netctl_process_request.
inline constexpr size_t NETCTL_ANSWER_MAX = 4 << 20;

struct netctl_conn;
struct netctl_node;
struct netctl_req;
struct netctl_walk_ctx;

// Leaf operation: (node, data buffer of NETCTL_DATA_SIZE bytes, instance or
// null) -> bytes placed in the data buffer.
typedef int (*netctl_leaf_fn)(struct netctl_node *np, void *data, void *instance);

struct netctl_leaf_ops {
    netctl_leaf_fn nlo_read;      // request op 1
    netctl_leaf_fn nlo_write;     // reached by no request
    netctl_leaf_fn nlo_read_all;  // request op 3
    netctl_leaf_fn nlo_null;      // closing null slot
};

// Walk callback: (node, data buffer, request, instance) -> -1 stops a walk.
typedef int (*netctl_walk_fn)(struct netctl_node *np, void *data, struct netctl_req *req,
                              void *instance);
typedef int (*netctl_visit_fn)(struct netctl_node *np, void *data, struct netctl_walk_ctx *ctx);

// Operations of a table node, supplied by its registrant.  They run with the
// tree lock held and must not register anything.
struct netctl_node_ops {
    // Recognises the instance segment (it begins with '.') at the start of
    // the len bytes at name, which need not be NUL-terminated; stores the
    // instance and returns the bytes consumed, 0 when none was recognised.
    int (*nno_parse)(struct netctl_node *np, const char *name, int len, void **instance);
    // For each instance: writes its name (NUL-terminated) into data and
    // calls cb(np, data, req, instance).  -1 from cb stops the listing.
    int (*nno_list)(struct netctl_node *np, void *data, netctl_walk_fn cb, struct netctl_req *req,
                    void *instance);
    // For each instance: writes its name segment (beginning with '.',
    // NUL-terminated, shorter than NETCTL_NAME_MAX) into data, stores the
    // instance in ctx->nwc_instance and calls visit(np, data, ctx).
    // Returning -1 stops the walk.
    int (*nno_iterate)(struct netctl_node *np, void *data, netctl_visit_fn visit,
                       struct netctl_walk_ctx *ctx);
    void *nno_null;  // closing null slot
};

// What a node exposes.  Allocated zero-filled, never freed.
struct netctl_leaf {
    char nl_name[NETCTL_NAME_MAX];  // the registered full name
    union {
        struct kv_head *kh;  // vars leaf
        struct kv_var *kv;   // element leaf
    } nl_desc;
    void *nl_base;      // vars: default block address; element: data the offset applies to
    int32_t nl_offset;  // vars: the block lies at (instance or base) + offset
    const struct netctl_leaf_ops *nl_ops;
};

struct netctl_node {
    char nctl_label[NETCTL_NAME_MAX];  // what this node adds to its parent's full name
    int8_t nctl_label_len;
    uint8_t nctl_flags;  // NETCTL_LEAF, NETCTL_TABLE
    struct netctl_leaf *nctl_leaf;
    const struct netctl_node_ops *nctl_ops;  // table nodes
    struct netctl_node *nctl_parent;         // null for the root
    // The sibling link comes first: the child list's type names it.
    tailq_entry<netctl_node> nctl_link;                         // among the siblings
    tailq<netctl_node, &netctl_node::nctl_link> nctl_children;  // appended at the end
};

// Walk context handed to a table node's iterate operation.
struct netctl_walk_ctx {
    char *nwc_path;  // NETCTL_NAME_MAX bytes
    struct netctl_req *nwc_req;
    void *nwc_instance;  // null when the walk starts
    netctl_walk_fn nwc_cb;
};

// Request context: one per connection (or per in-process dump), zero-filled
// when taken.
struct netctl_req {
    char nr_path[NETCTL_NAME_MAX];  // canonical path built by resolution and walks
    int32_t nr_fd;                  // the connection's socket
    uint8_t nr_flags;               // NETCTL_F_*
    uint8_t nr_op;                  // NETCTL_OP_*
    uint32_t nr_len;                // body length of the next response
    int32_t nr_parent;              // NETCTL_F_PARENT given
    const char *nr_name;            // name that responses carry; at most NETCTL_NAME_MAX bytes
    int (*nr_respond)(struct netctl_req *req);
    void *nr_datap;               // start of the body to send
    struct netctl_conn *nr_conn;  // the connection responses go to (netctl_send_response)
    // The answer gathered under the tree lock and sent after it: the
    // responses one after another (see netctl_sock.cc), nr_out_len bytes
    // of nr_out_cap, on the heap; nr_out_full once the answer was cut.
    char *nr_out;
    size_t nr_out_len, nr_out_cap;
    int32_t nr_out_full;
    // Receives records (kv_record, 8-byte aligned) and names.
    alignas(8) char nr_data[NETCTL_DATA_SIZE];
};
static_assert(offsetof(struct netctl_req, nr_data) % alignof(struct kv_record) == 0);
