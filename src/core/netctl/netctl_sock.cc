// netctl_sock: the control socket server, the log dump and the client side.
//
// Threads and state: one server thread (netctl_threadfn) serves every
// connection through one epoll set.  The listening socket and the stop flag
// are shared with the shut-down function on another thread and are atomics:
// the thread publishes the socket and then looks at the flag, the shut-down
// function sets the flag and then looks for the socket, so that one of them
// always sees the other and the thread never blocks in poll after a stop.
// The shut-down function wakes the poll by shutting the listening socket
// down, and waits for the thread before it closes the socket and removes
// its file, if the file is still the one the thread bound (same device and
// inode).  The socket path and that identity are written by the thread
// before it publishes the socket and read by the shut-down function after
// the thread has ended.
//
// Connections are small state machines (struct netctl_conn) that the one
// thread drives as their sockets become ready, so a client that sends
// nothing, or does not read, costs a slot and never time to the others.
// Each has one deadline, netctl_conn_timeout_ms() after its accept, for its
// whole life (see "Connections" below).  The tree lock is never held while
// a client is waited for: a request reads its answer under the lock and
// sends it afterwards.
#include "core/netctl/netctl_sock.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>

#include "core/agent_config.h"
#include "core/logging.h"
#include "core/netctl/netctl_sock_internal.h"
#include "core/netctl/netctl_vars.h"
#include "core/nthread_unix.h"
#include "core/sysinit.h"
#include "core/utils_unix.h"

static_assert(NETCTL_SUN_PATH_MAX + 1 == sizeof(((struct sockaddr_un *)nullptr)->sun_path),
              "a socket path and its NUL fill sun_path");
static_assert(NETCTL_DATA_SIZE <= UINT16_MAX, "a body length fits the header's 16 bits");

static std::atomic<int> netctl_listen_fd{-1};
static std::atomic<int> netctl_stop{0};
static std::atomic<int> netctl_timeout_ms{NETCTL_CONN_TIMEOUT_MS};
static std::atomic<int64_t> netctl_share_rate{NETCTL_LIST_SHARE};
static char netctl_path[PATH_MAX];
static bool netctl_path_known;  // netctl_path_dev and _ino name the file bound
static dev_t netctl_path_dev;
static ino_t netctl_path_ino;
static pthread_t netctl_thread;
static bool netctl_thread_started;

static const char *netctl_strerror(int err, char *buf, size_t size) {
    return strerror_r(err, buf, size);
}

static int64_t netctl_now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Milliseconds from now until at, rounded up; 0 once it has passed.
static int netctl_ms_until(int64_t at, int64_t now) {
    int64_t left = at - now;
    if (left <= 0) return 0;
    return int(std::min<int64_t>((left + 999999) / 1000000, INT_MAX));
}

void netctl_set_conn_timeout(int ms) {
    netctl_timeout_ms.store(ms > 0 ? ms : 1);
}

void netctl_set_list_share(int64_t bytes) {
    netctl_share_rate.store(bytes > 0 ? bytes : 1);
}

int netctl_conn_timeout_ms(void) {
    return netctl_timeout_ms.load();
}

/*
 * Lines about failures that repeat: the first at once, then at most one
 * per NETCTL_RATELOG_NS, counting the failures it stands for.
 */

bool netctl_ratelog_event(struct netctl_ratelog *rl, int64_t now_ns) {
    const unsigned burst = rl->nrl_burst > 0 ? rl->nrl_burst : 1;
    if (rl->nrl_open && (now_ns - rl->nrl_since_ns < NETCTL_RATELOG_NS || rl->nrl_repeats > 0)) {
        // Within a run: one by one while its burst lasts and nothing is
        // counted yet, so that the lines stay in order with the count.
        if (rl->nrl_repeats == 0 && rl->nrl_told < burst) return rl->nrl_told++, true;
        rl->nrl_repeats++;
        return false;
    }
    rl->nrl_open = true;
    rl->nrl_since_ns = now_ns;
    rl->nrl_repeats = 0;
    rl->nrl_told = 1;
    return true;
}

unsigned netctl_ratelog_due(struct netctl_ratelog *rl, int64_t now_ns) {
    if (!rl->nrl_open || now_ns - rl->nrl_since_ns < NETCTL_RATELOG_NS) return 0;
    unsigned n = rl->nrl_repeats;
    rl->nrl_repeats = 0;
    rl->nrl_since_ns = now_ns;
    rl->nrl_open = n > 0;
    // A run goes on by counts alone: no burst until a quiet period.
    rl->nrl_told = rl->nrl_burst > 0 ? rl->nrl_burst : 1;
    return n;
}

int64_t netctl_ratelog_next_ns(const struct netctl_ratelog *rl) {
    return rl->nrl_open && rl->nrl_repeats > 0 ? rl->nrl_since_ns + NETCTL_RATELOG_NS : INT64_MAX;
}

/*
 * Connections.
 *
 * A connection goes through
 *   NETCTL_C_RECV   receiving the 132-byte request header; the end of the
 *                   stream before it is whole ends it, the rest zero
 *   NETCTL_C_READY  the header is in; the answer waits for room among the
 *                   bytes that all connections have queued (server only)
 *   NETCTL_C_SEND   the answer was gathered and sent as far as the socket
 *                   took it; the rest is queued and sent as the client reads
 *   NETCTL_C_DONE   to be closed: after the last byte of the answer, or a
 *                   failure
 * and has one deadline, set at its accept: the header must be in and the
 * answer taken by the client before it.  At the deadline the header is
 * received once more, so a request that arrived in time is answered
 * however late the server looks; otherwise the connection is closed with
 * an ERROR line, as a failed receive or send.  An answer that the socket
 * buffer holds whole (any single record, the agent's usual listings) goes
 * out as soon as it is gathered, and so never waits for the client.
 */

enum : uint8_t { NETCTL_C_RECV, NETCTL_C_READY, NETCTL_C_SEND, NETCTL_C_DONE };

struct netctl_conn {
    int nc_fd;
    uint8_t nc_state;
    int8_t nc_rc;            // -1 once the header could not be received
    uint32_t nc_got;         // header bytes received
    uint64_t nc_seq;         // accept order
    uint32_t nc_uid;         // the peer's user (UINT32_MAX when unknown)
    bool nc_own;             // the peer is this process (its own writers): no share
    size_t nc_answer;        // bytes of the answer gathered
    int64_t nc_deadline_ns;  // monotonic
    struct netctl_msg nc_msg;
    // Answer bytes not yet taken by the socket, as they go on the wire:
    // nc_out[nc_out_off, nc_out_len) of nc_out_cap.  The response being
    // sent has its body from nc_body_at; the next one starts at nc_next.
    char *nc_out;
    size_t nc_out_off, nc_out_len, nc_out_cap, nc_body_at, nc_next;
    uint32_t nc_watch;  // the server's epoll events for it; 0 when not in the set
    // The server's pacing of failure lines (receive, send); null: every
    // failure is logged.
    struct netctl_ratelog *nc_fail_logs;
};

static void netctl_conn_open(struct netctl_conn *c, int fd, uint64_t seq, int64_t now) {
    memset(c, 0, sizeof(*c));
    c->nc_fd = fd;
    c->nc_seq = seq;
    c->nc_deadline_ns = now + int64_t(netctl_timeout_ms.load()) * 1000000;
}

static size_t netctl_conn_queued(const struct netctl_conn *c) {
    return c->nc_out_len - c->nc_out_off;
}

static void netctl_conn_release(struct netctl_conn *c) {
    free(c->nc_out);
    c->nc_out = nullptr;
    c->nc_out_off = c->nc_out_len = c->nc_out_cap = c->nc_body_at = c->nc_next = 0;
}

// Appends n bytes to the queue.  0, or -1 when memory runs out.
static int netctl_conn_queue(struct netctl_conn *c, const void *p, size_t n) {
    if (c->nc_out_len + n > c->nc_out_cap) {
        size_t cap = c->nc_out_cap ? c->nc_out_cap : 4096;
        while (cap < c->nc_out_len + n)
            cap *= 2;
        char *q = static_cast<char *>(realloc(c->nc_out, cap));
        if (q == nullptr) return -1;
        c->nc_out = q;
        c->nc_out_cap = cap;
    }
    memcpy(c->nc_out + c->nc_out_len, p, n);
    c->nc_out_len += n;
    return 0;
}

// Moves to the response the queue's first byte belongs to.
static void netctl_conn_advance(struct netctl_conn *c) {
    while (c->nc_out_off >= c->nc_next && c->nc_next + sizeof(struct netctl_msg) <= c->nc_out_len) {
        uint16_t len;
        memcpy(&len, c->nc_out + c->nc_next + offsetof(struct netctl_msg, nm_len), sizeof(len));
        c->nc_body_at = c->nc_next + sizeof(struct netctl_msg);
        c->nc_next = c->nc_body_at + len;
    }
}

// Whether a failure of kind k (0 receive, 1 send) on c is to be logged: a
// local client can fail connections by the thousand a second, and must not
// push the log's history out with them.
static bool netctl_conn_fail_logged(struct netctl_conn *c, int k) {
    return (tr_mask & 1) &&
           (c->nc_fail_logs == nullptr || netctl_ratelog_event(&c->nc_fail_logs[k], netctl_now_ns()));
}

static void netctl_conn_recv_failed(struct netctl_conn *c, int err) {
    char eb[128];
    if (netctl_conn_fail_logged(c, 0))
        tr_log(1, TR_ERROR, "netctl_recv_request: %s", netctl_strerror(err, eb, sizeof(eb)));
    c->nc_rc = -1;
    c->nc_state = NETCTL_C_DONE;
}

// A send that failed, or an answer not taken by the deadline; the line
// says whether a header or a body was being sent.
static void netctl_conn_send_failed(struct netctl_conn *c, int err, bool in_header) {
    char eb[128];
    if (netctl_conn_fail_logged(c, 1))
        tr_log(1, TR_ERROR, "netctl_send_response: %s %s", in_header ? "netctl_msg" : "response",
               netctl_strerror(err, eb, sizeof(eb)));
    c->nc_state = NETCTL_C_DONE;
}

// Receives what the header still lacks.  True once it is whole or the
// stream has ended (the connection is then NETCTL_C_READY); false while
// more is to come, or after a failure (logged; the connection is done).
static bool netctl_conn_recv(struct netctl_conn *c) {
    while (c->nc_got < sizeof(c->nc_msg)) {
        ssize_t n = recv(c->nc_fd, reinterpret_cast<char *>(&c->nc_msg) + c->nc_got,
                         sizeof(c->nc_msg) - c->nc_got, MSG_DONTWAIT);
        if (n > 0) {
            c->nc_got += uint32_t(n);
            continue;
        }
        if (n == 0) break;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) netctl_conn_recv_failed(c, errno);
        return false;
    }
    c->nc_state = NETCTL_C_READY;
    return true;
}

// Sends what the socket takes of the queue; the connection is done when
// all is sent, or after a failure (logged).
static void netctl_conn_flush(struct netctl_conn *c) {
    while (netctl_conn_queued(c) > 0) {
        ssize_t n = send(c->nc_fd, c->nc_out + c->nc_out_off, netctl_conn_queued(c),
                         MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n < 0) {
            netctl_conn_send_failed(c, errno, c->nc_out_off < c->nc_body_at);
            return;
        }
        c->nc_out_off += size_t(n);
        netctl_conn_advance(c);
    }
    netctl_conn_release(c);
    c->nc_state = NETCTL_C_DONE;
}

/*
 * Requests.
 *
 * A request is answered in two steps.  Under the tree lock it resolves its
 * name and runs the leaf operations and walks, and each response they make
 * is gathered into the request's own answer buffer (nr_out): a header as
 * it goes out, then the body, each padded to 8 bytes.  Then the lock is
 * released and the gathered responses are handed to nr_respond one by one,
 * each body copied back into nr_data first.  A client therefore never holds
 * the tree, however slowly it reads.
 *
 * An answer may take at most netctl_answer_max() bytes.  A response that
 * would go past it (or for which no memory is left) stops the walk there:
 * the responses gathered so far are sent, an ERROR line says where the
 * answer was cut, and the connection is closed as after any answer.
 */

// Flags of a gathered response.
#define NETCTL_G_RECORDS 0x01  // the body's whole 224-byte units are kv records
#define NETCTL_G_COPIES 0x02   // their string values are copies this request owns

struct netctl_gathered {
    struct netctl_msg ng_msg;  // the header as it goes out
    uint8_t ng_flags;          // NETCTL_G_*
};

static constexpr size_t netctl_align8(size_t n) {
    return (n + 7) & ~size_t(7);
}
static constexpr size_t NETCTL_G_HEAD = netctl_align8(sizeof(struct netctl_gathered));

static std::atomic<size_t> netctl_answer_limit{NETCTL_ANSWER_MAX};

void netctl_set_answer_max(size_t bytes) {
    netctl_answer_limit.store(bytes);
}

size_t netctl_answer_max(void) {
    return netctl_answer_limit.load();
}

static struct kv_record *netctl_records(void *data) {
    return static_cast<struct kv_record *>(data);
}

// Clears the value field of every string and address-list record among the
// first len bytes at data: an address inside this process is nobody's
// business on the wire.
static void netctl_clear_addresses(void *data, size_t len) {
    struct kv_record *r = netctl_records(data);
    for (size_t i = 0; i < len / KV_RECORD_SIZE; i++) {
        unsigned t = kv_value_type(r[i].kr_type);
        if (t == KV_T_STRING || t == KV_T_IPV4_LIST) r[i].kr_value.u64 = 0;
    }
}

// Puts each record's value text into its text area (NETCTL_F_TEXT).  Runs
// under the tree lock, where the values were read.
static void netctl_text_records(void *data, size_t len) {
    struct kv_record *r = netctl_records(data);
    for (size_t i = 0; i < len / KV_RECORD_SIZE; i++) {
        char buf[KV_VALUE_TEXT_SIZE];
        const char *text = kv_value_text(&r[i], buf);
        r[i].kr_name[NETCTL_TEXT_OFF - 1] = '\0';
        kv_text_fit(netctl_record_text(&r[i]), NETCTL_TEXT_SIZE, text);
    }
}

// Adds the response that req describes (req->nr_len bytes at data, named
// req->nr_name) to the answer.  0, or -1 when the answer is full: the walk
// stops, and the copies of this response are released at once.
static int netctl_keep(struct netctl_req *req, void *data, int flags) {
    size_t len = req->nr_len;
    size_t need = NETCTL_G_HEAD + netctl_align8(len);
    size_t want = req->nr_out_len + need;
    if (req->nr_out_full == 0 && want > netctl_answer_max()) req->nr_out_full = E2BIG;
    if (req->nr_out_full == 0 && want > req->nr_out_cap) {
        size_t cap = req->nr_out_cap ? req->nr_out_cap : 4096;
        while (cap < want)
            cap *= 2;
        char *p = static_cast<char *>(realloc(req->nr_out, cap));
        if (p == nullptr) {
            req->nr_out_full = ENOMEM;
        } else {
            req->nr_out = p;
            req->nr_out_cap = cap;
        }
    }
    if (req->nr_out_full != 0) {
        if (flags & NETCTL_G_COPIES) kv_record_release(netctl_records(data), len / KV_RECORD_SIZE);
        return -1;
    }
    auto *g = reinterpret_cast<struct netctl_gathered *>(req->nr_out + req->nr_out_len);
    memset(g, 0, NETCTL_G_HEAD);
    memcpy(g->ng_msg.nm_name, req->nr_name, strnlen(req->nr_name, NETCTL_NAME_MAX));
    g->ng_msg.nm_len = uint16_t(len);
    g->ng_flags = uint8_t(flags);
    memcpy(req->nr_out + req->nr_out_len + NETCTL_G_HEAD, data, len);
    req->nr_out_len += need;
    // The copies now belong to the gathered response; a later record that
    // does not write its value must not find their addresses here.
    if (flags & NETCTL_G_RECORDS) netctl_clear_addresses(data, len);
    return 0;
}

// Hands the gathered responses to nr_respond, in order, until one fails,
// then releases the answer and every string copy in it.
static void netctl_deliver(struct netctl_req *req, const char *asked) {
    bool stopped = false;
    for (size_t off = 0; off < req->nr_out_len;) {
        auto *g = reinterpret_cast<struct netctl_gathered *>(req->nr_out + off);
        char *body = req->nr_out + off + NETCTL_G_HEAD;
        size_t len = g->ng_msg.nm_len;
        off += NETCTL_G_HEAD + netctl_align8(len);
        if (!stopped) {
            // A listing names each response by the path it had in the walk.
            if (req->nr_name == req->nr_path) {
                memcpy(req->nr_path, g->ng_msg.nm_name, NETCTL_NAME_MAX);
                req->nr_path[NETCTL_NAME_MAX - 1] = '\0';
            }
            memcpy(req->nr_data, body, len);
            if (g->ng_flags & NETCTL_G_RECORDS) netctl_clear_addresses(req->nr_data, len);
            req->nr_len = uint32_t(len);
            stopped = req->nr_respond(req) != 0;
        }
        if (g->ng_flags & NETCTL_G_COPIES) kv_record_release(netctl_records(body), len / KV_RECORD_SIZE);
    }
    req->nr_len = 0;
    if (req->nr_out_full != 0 && (tr_mask & 1))
        tr_log(1, TR_ERROR, "netctl_process_request: answer for %.128s cut at %zu bytes%s",
               asked, req->nr_out_len,
               req->nr_out_full == ENOMEM ? ": alloc failed" : "");
    free(req->nr_out);
    req->nr_out = nullptr;
    req->nr_out_len = req->nr_out_cap = 0;
    req->nr_out_full = 0;
}

int netctl_leaf_op(struct netctl_node *np, void *data, struct netctl_req *req, void *instance) {
    const struct netctl_leaf_ops *ops = np->nctl_leaf->nl_ops;
    netctl_leaf_fn fn = nullptr;
    if (req->nr_op == NETCTL_OP_READ)
        fn = ops->nlo_read;
    else if (req->nr_op == NETCTL_OP_LIST)
        fn = ops->nlo_read_all;
    int len = fn != nullptr ? fn(np, data, instance) : 0;
    int kind = fn != nullptr ? netctl_leaf_fn_kind(fn) : NETCTL_FN_BUILTIN;
    // A registrant's operation is sent as it returns, within the buffer.
    // Ours produce whole records, and 1 for nothing.
    size_t n = len > 0 ? size_t(len) : 0;
    if (n > NETCTL_DATA_SIZE) n = NETCTL_DATA_SIZE;
    if (kind & NETCTL_FN_BUILTIN) n -= n % KV_RECORD_SIZE;
    if (req->nr_flags & NETCTL_F_TEXT) netctl_text_records(data, n);
    req->nr_len = uint32_t(n);
    int rc = netctl_keep(req, data, NETCTL_G_RECORDS | ((kind & NETCTL_FN_COPIES) ? NETCTL_G_COPIES : 0));
    req->nr_len = 0;
    return rc;
}

int netctl_node_visit(struct netctl_node *np, void *data, struct netctl_req *req, void *instance) {
    if (req->nr_flags & NETCTL_F_NAMES) {
        // For a table node with an instance the list operation has already
        // written the instance's name.
        if (!((np->nctl_flags & NETCTL_TABLE) && instance != nullptr)) {
            memset(data, 0, KV_RECORD_SIZE);
            memcpy(data, np->nctl_label, size_t(np->nctl_label_len));
        }
        req->nr_len = KV_RECORD_SIZE;
        int rc = netctl_keep(req, data, 0);
        req->nr_len = 0;
        return rc;
    }
    if (np->nctl_leaf == nullptr) return 1;
    return netctl_leaf_op(np, data, req, instance);
}

// The bytes that resolution appended to the path for np itself: its label,
// or for a table node reached without an instance its label's stem and
// ".*".
static size_t netctl_own_path_len(const struct netctl_node *np) {
    size_t n = size_t(np->nctl_label_len);
    if (!(np->nctl_flags & NETCTL_TABLE)) return n;
    if (n >= 2 && np->nctl_label[n - 2] == '.' && np->nctl_label[n - 1] == '*') return n;
    return n + 2;
}

// Resolves the request and gathers its answer; the caller holds the lock.
static void netctl_gather_locked(struct netctl_req *req) {
    int remaining = int(strnlen(req->nr_name, NETCTL_NAME_MAX));
    void *instance = nullptr;
    struct netctl_node *np = netctl_resolve(req, &remaining, &instance);
    switch (req->nr_op) {
        case NETCTL_OP_READ:
        case NETCTL_OP_WRITE: {
            if (np->nctl_leaf == nullptr) break;
            // The variable's name: what follows the resolved path and one
            // separator.
            size_t nlen = strnlen(req->nr_name, NETCTL_NAME_MAX);
            size_t vlen = remaining > 1 ? size_t(remaining) - 1 : 0;
            memcpy(req->nr_data, req->nr_name + (nlen - vlen), vlen);
            req->nr_data[vlen] = '\0';
            netctl_leaf_op(np, req->nr_data, req, instance);
            break;
        }
        case NETCTL_OP_LIST:
            req->nr_name = req->nr_path;
            if (np->nctl_leaf != nullptr) {
                netctl_leaf_op(np, req->nr_data, req, instance);
            } else if (req->nr_flags & NETCTL_F_NAMES) {
                netctl_walk_children(np, req->nr_data, netctl_node_visit, req, instance);
            } else {
                if (instance == nullptr) {
                    // The walk appends the node's own label again.
                    size_t plen = strnlen(req->nr_path, NETCTL_NAME_MAX);
                    size_t own = netctl_own_path_len(np);
                    req->nr_path[own <= plen ? plen - own : 0] = '\0';
                }
                netctl_walk(np, req->nr_path, req->nr_data, netctl_node_visit, req, instance);
            }
            break;
        default:
            break;
    }
}

int netctl_process_request(struct netctl_req *req) {
    if (req->nr_flags & NETCTL_F_PARENT) req->nr_parent = 1;
    const char *asked = req->nr_name;
    netctl_tree_lock();
    netctl_gather_locked(req);
    netctl_tree_unlock();
    netctl_deliver(req, asked);
    return 0;
}

// Gathers and sends the answer to the header that c holds.
static void netctl_conn_serve(struct netctl_conn *c) {
    static_assert(sizeof(struct netctl_req) < 64 * 1024, "a request fits a thread's stack");
    struct netctl_req req;
    memset(&req, 0, sizeof(req));
    req.nr_fd = c->nc_fd;
    req.nr_respond = netctl_send_response;
    req.nr_datap = req.nr_data;
    req.nr_conn = c;
    // A peer may fill all 128 bytes of the name: keep it terminated.
    char name[NETCTL_NAME_MAX + 1];
    memcpy(name, c->nc_msg.nm_name, NETCTL_NAME_MAX);
    name[NETCTL_NAME_MAX] = '\0';
    req.nr_name = name;
    req.nr_op = c->nc_msg.nm_op;
    req.nr_flags = c->nc_msg.nm_flags;
    c->nc_state = NETCTL_C_SEND;
    netctl_process_request(&req);
    c->nc_answer = c->nc_out_len;
    // The whole answer at once: one send, not one per response.
    if (c->nc_state == NETCTL_C_SEND) netctl_conn_flush(c);
}

// What the connection does when its socket is ready.
static void netctl_conn_step(struct netctl_conn *c) {
    if (c->nc_state == NETCTL_C_RECV)
        netctl_conn_recv(c);
    else if (c->nc_state == NETCTL_C_SEND)
        netctl_conn_flush(c);
}

// At the deadline: a header that is whole by now is still served (its
// answer, if it has to be queued, is cut at the next look); anything else
// ends the connection.
static void netctl_conn_expire(struct netctl_conn *c) {
    switch (c->nc_state) {
        case NETCTL_C_RECV:
            if (netctl_conn_recv(c))
                netctl_conn_serve(c);
            else if (c->nc_state == NETCTL_C_RECV)
                netctl_conn_recv_failed(c, ETIMEDOUT);
            break;
        case NETCTL_C_READY:
            netctl_conn_send_failed(c, ETIMEDOUT, true);
            break;
        case NETCTL_C_SEND:
            netctl_conn_send_failed(c, ETIMEDOUT, c->nc_out_off < c->nc_body_at);
            break;
        default:
            break;
    }
}

int netctl_recv_request(int fd) {
    struct netctl_conn c;
    netctl_conn_open(&c, fd, 0, netctl_now_ns());
    while (c.nc_state != NETCTL_C_DONE) {
        if (c.nc_state == NETCTL_C_READY) {
            netctl_conn_serve(&c);
            continue;
        }
        struct pollfd p = {fd, short(c.nc_state == NETCTL_C_RECV ? POLLIN : POLLOUT), 0};
        int n = poll(&p, 1, netctl_ms_until(c.nc_deadline_ns, netctl_now_ns()));
        if (n < 0 && errno == EINTR) continue;
        if (n > 0)
            netctl_conn_step(&c);
        else
            netctl_conn_expire(&c);
    }
    netctl_conn_release(&c);
    return c.nc_rc;
}

int netctl_send_response(struct netctl_req *req) {
    struct netctl_conn *c = req->nr_conn;
    if (c == nullptr) return -1;
    struct netctl_msg msg;
    memset(&msg, 0, sizeof(msg));
    memcpy(msg.nm_name, req->nr_name, strnlen(req->nr_name, NETCTL_NAME_MAX));
    msg.nm_len = uint16_t(req->nr_len);
    req->nr_datap = req->nr_data;
    bool header = netctl_conn_queue(c, &msg, sizeof(msg)) == 0;
    if (header && netctl_conn_queue(c, req->nr_datap, msg.nm_len) == 0) return 0;
    netctl_conn_send_failed(c, ENOMEM, !header);
    return -1;
}

/*
 * The log dump.
 */

int netctl_log_records(struct netctl_req *req) {
    if (req->nr_len == 0 || !(tr_mask & 1)) return 0;
    size_t n = req->nr_len > NETCTL_DATA_SIZE ? NETCTL_DATA_SIZE : req->nr_len;
    n = n < KV_RECORD_SIZE ? 1 : n / KV_RECORD_SIZE;
    auto *r = reinterpret_cast<struct kv_record *>(req->nr_data);
    for (size_t i = 0; i < n; i++) {
        // The dump asks for text: every record carries its value's text.
        char value[NETCTL_TEXT_SIZE];
        char full[320];
        memcpy(value, r[i].kr_name + NETCTL_TEXT_OFF, sizeof(value));
        value[sizeof(value) - 1] = '\0';
        snprintf(full, sizeof(full), "%.127s.%.127s", req->nr_path, r[i].kr_name);
        tr_log(1, TR_INFO, "%s = %s", full, value);
    }
    return 0;
}

int netctl_dump_to_log(void) {
    static_assert(sizeof(struct netctl_req) < 64 * 1024, "a request fits a thread's stack");
    struct netctl_req req;
    memset(&req, 0, sizeof(req));
    req.nr_fd = -1;
    req.nr_op = NETCTL_OP_LIST;
    req.nr_flags = NETCTL_F_TEXT;
    req.nr_name = "";
    req.nr_respond = netctl_log_records;
    req.nr_datap = req.nr_data;
    return netctl_process_request(&req);
}

/*
 * The listening socket and the server thread.
 */

int netctl_sock_path(char *buf, size_t size, const char *rundir) {
    size_t n = strlen(rundir);
    const char *sep = (n > 0 && rundir[n - 1] == '/') ? "" : "/";
    int len = snprintf(buf, size, "%s%s%s", rundir, sep, NETCTL_SOCK_NAME);
    if (len < 0 || size_t(len) >= size) return -1;
    return len;
}

int netctl_sock_lock(const char *rundir, pid_t *holder) {
    char path[PATH_MAX];
    int len = netctl_sock_path(path, sizeof(path) - (sizeof(NETCTL_LOCK_SUFFIX) - 1), rundir);
    if (len < 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(path + len, NETCTL_LOCK_SUFFIX, sizeof(NETCTL_LOCK_SUFFIX));
    int fd = utils_lock_path(path, O_RDWR | O_CREAT);
    if (fd == -2) *holder = utils_read_pid(path);
    if (fd < 0) return fd;
    // Who holds it, for the next one that tries.
    char pid[24];
    int n = snprintf(pid, sizeof(pid), "%u\n", unsigned(getpid()));
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid, size_t(n), 0) != n) *holder = 0;
    return fd;
}

int netctl_listen(const char *path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -errno;
    size_t plen = strlen(path);
    int rc = 0;
    struct sockaddr_un sa;
    memset(&sa, 0, sizeof(sa));
    sa.sun_family = AF_UNIX;
    if (plen > NETCTL_SUN_PATH_MAX) {
        rc = -ENAMETOOLONG;
        goto fail;
    }
    memcpy(sa.sun_path, path, plen);
    unlink(path);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&sa),
             socklen_t(offsetof(struct sockaddr_un, sun_path) + plen)) != 0) {
        rc = -errno;
        goto fail;
    }
    // Any local user may connect.  The mode is set on the file rather than
    // by clearing the umask around bind, which would change the mode of
    // files that other threads create meanwhile.  Nobody can connect before
    // listen, so the file's mode is right before it is usable.
    if (chmod(path, 0666) != 0 || access(path, W_OK) != 0 || listen(fd, NETCTL_BACKLOG) != 0) {
        rc = -errno;
        unlink(path);
        goto fail;
    }
    return fd;
fail:
    close(fd);
    return rc;
}

static void netctl_sleep_ms(int ms) {
    struct timespec ts = {ms / 1000, long(ms % 1000) * 1000000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// What a user's listings may still send (bytes, below 0 after a listing
// larger than what was left), as of nb_at_ns.
struct netctl_share {
    uint32_t nb_uid;
    int64_t nb_bytes, nb_at_ns;
};

// The server thread's state.  A slot of ns_conns is free while its nc_fd
// is -1.  Every open connection is in the epoll set ns_efd with the events
// its state waits for (nc_watch; none while it waits for room), its slot
// as the event's data; the listening socket's data is NETCTL_CONN_MAX.
struct netctl_server {
    int ns_lfd, ns_efd;
    int ns_spare;  // given up to accept and close a connection when out of descriptors
    int ns_n;      // open connections
    uint64_t ns_seq;
    int64_t ns_pause_until_ns;  // no accept before, after a failure that lasts
    bool ns_accepting;          // the listening socket is watched for connections
    int ns_acc_err;             // the latest accept failure
    struct netctl_ratelog ns_acc_log, ns_evict_log;
    struct netctl_ratelog ns_fail_logs[2];  // connections' receive and send failures
    struct netctl_share ns_shares[NETCTL_LIST_USERS];  // nb_at_ns 0: unused
    int64_t ns_wait_until_ns;  // when a listing waiting for its share may go
    pid_t ns_pid;
    struct netctl_conn ns_conns[NETCTL_CONN_MAX];
};
static struct netctl_server netctl_srv;

static void netctl_server_close(struct netctl_server *s, int i) {
    close(s->ns_conns[i].nc_fd);  // which takes it out of the epoll set
    netctl_conn_release(&s->ns_conns[i]);
    s->ns_conns[i].nc_fd = -1;
    s->ns_n--;
}

// Makes epoll watch slot i for what its state waits for; a connection that
// the epoll set refuses is done.
static void netctl_server_watch(struct netctl_server *s, int i) {
    struct netctl_conn *c = &s->ns_conns[i];
    uint32_t want = c->nc_state == NETCTL_C_RECV   ? uint32_t(EPOLLIN)
                    : c->nc_state == NETCTL_C_SEND ? uint32_t(EPOLLOUT)
                                                   : 0;
    if (want == c->nc_watch) return;
    struct epoll_event ev = {};
    ev.events = want;
    ev.data.u32 = uint32_t(i);
    int op = c->nc_watch == 0 ? EPOLL_CTL_ADD : want == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
    if (epoll_ctl(s->ns_efd, op, c->nc_fd, &ev) == 0)
        c->nc_watch = want;
    else if (want != 0)
        c->nc_state = NETCTL_C_DONE;
}

// Closes the connections that are done; the others are watched for what
// their states wait for.
static void netctl_server_sweep(struct netctl_server *s) {
    for (int i = 0; i < NETCTL_CONN_MAX; i++) {
        if (s->ns_conns[i].nc_fd < 0) continue;
        if (s->ns_conns[i].nc_state != NETCTL_C_DONE) netctl_server_watch(s, i);
        if (s->ns_conns[i].nc_state == NETCTL_C_DONE) netctl_server_close(s, i);
    }
}

// The oldest connection that has not sent a whole request, or -1.
static int netctl_server_oldest(const struct netctl_server *s) {
    int best = -1;
    for (int i = 0; i < NETCTL_CONN_MAX; i++)
        if (s->ns_conns[i].nc_fd >= 0 && s->ns_conns[i].nc_state == NETCTL_C_RECV &&
            (best < 0 || s->ns_conns[i].nc_seq < s->ns_conns[best].nc_seq))
            best = i;
    return best;
}

// Whether a's request goes before b's: reads of a variable before
// listings, which may walk the whole tree; then the oldest first.
static bool netctl_server_before(const struct netctl_conn *a, const struct netctl_conn *b) {
    bool la = a->nc_msg.nm_op == NETCTL_OP_LIST, lb = b->nc_msg.nm_op == NETCTL_OP_LIST;
    return la != lb ? lb : a->nc_seq < b->nc_seq;
}

// The share of the user uid, grown to now.  A user not among the kept ones
// takes the place of the one seen longest ago, with a whole share.
static struct netctl_share *netctl_server_share(struct netctl_server *s, uint32_t uid,
                                                int64_t now) {
    struct netctl_share *b = &s->ns_shares[0];
    for (auto &x : s->ns_shares) {
        if (x.nb_at_ns != 0 && x.nb_uid == uid) {
            b = &x;
            break;
        }
        if (x.nb_at_ns < b->nb_at_ns) b = &x;
    }
    const int64_t rate = netctl_share_rate.load();
    if (b->nb_at_ns == 0 || b->nb_uid != uid) *b = {uid, rate, now};
    int64_t dt = std::min<int64_t>(now - b->nb_at_ns, 1000000000);
    if (dt > 0) b->nb_bytes = std::min(rate, b->nb_bytes + dt * rate / 1000000000);
    b->nb_at_ns = std::max(b->nb_at_ns, now);
    return b;
}

// Whether c's request may be answered now: anything but a listing, or a
// listing whose user's share is left, or whose deadline is near.  Else
// ns_wait_until_ns is brought forward to when it may.
static bool netctl_server_may_serve(struct netctl_server *s, const struct netctl_conn *c,
                                    int64_t now) {
    if (c->nc_msg.nm_op != NETCTL_OP_LIST || c->nc_own) return true;
    int64_t last = c->nc_deadline_ns - int64_t(netctl_timeout_ms.load()) * 1000000 / 4;
    const struct netctl_share *b = netctl_server_share(s, c->nc_uid, now);
    if (b->nb_bytes > 0 || now >= last) return true;
    int64_t grown = now + (1 - b->nb_bytes) * 1000000000 / netctl_share_rate.load() + 1;
    s->ns_wait_until_ns = std::min({s->ns_wait_until_ns, grown, last});
    return false;
}

// Serves the requests whose headers are in (netctl_server_before's order)
// while the bytes that all connections have queued leave room.
static void netctl_server_serve_ready(struct netctl_server *s, int64_t now) {
    size_t queued = 0;
    for (int i = 0; i < NETCTL_CONN_MAX; i++)
        if (s->ns_conns[i].nc_fd >= 0) queued += netctl_conn_queued(&s->ns_conns[i]);
    s->ns_wait_until_ns = INT64_MAX;
    while (queued < NETCTL_QUEUE_MAX) {
        struct netctl_conn *next = nullptr;
        for (int i = 0; i < NETCTL_CONN_MAX; i++) {
            struct netctl_conn *c = &s->ns_conns[i];
            if (c->nc_fd >= 0 && c->nc_state == NETCTL_C_READY &&
                (next == nullptr || netctl_server_before(c, next)) &&
                netctl_server_may_serve(s, c, now))
                next = c;
        }
        if (next == nullptr) return;
        netctl_conn_serve(next);
        if (next->nc_msg.nm_op == NETCTL_OP_LIST && !next->nc_own)
            netctl_server_share(s, next->nc_uid, now)->nb_bytes -= int64_t(next->nc_answer);
        queued += netctl_conn_queued(next);
    }
}

// Opens the spare descriptor when it is missing (at the start, or when it
// could not be had back after use).
static void netctl_server_spare(struct netctl_server *s) {
    if (s->ns_spare < 0) s->ns_spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

static void netctl_server_accept_failed(struct netctl_server *s, int err, int64_t now) {
    bool taken = false;
    if ((err == EMFILE || err == ENFILE) && s->ns_spare >= 0) {
        // The waiting connection keeps the socket readable: accept it into
        // the spare descriptor's number and close it, so that the server
        // neither spins nor keeps a client waiting for nothing.
        close(s->ns_spare);
        s->ns_spare = -1;
        int fd = accept4(s->ns_lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) close(fd);
        taken = fd >= 0;
        netctl_server_spare(s);
    }
    // A failure that took nothing lasts a while (no descriptor, no memory):
    // trying again at once would only spin.
    if (!taken && err != ECONNABORTED)
        s->ns_pause_until_ns = now + int64_t(NETCTL_ACCEPT_BACKOFF_MS) * 1000000;
    s->ns_acc_err = err;
    char eb[128];
    if (netctl_ratelog_event(&s->ns_acc_log, now) && (tr_mask & 1))
        tr_log(1, TR_ERROR, "netctl_threadfn: %s(%d)\n", netctl_strerror(err, eb, sizeof(eb)), err);
}

static void netctl_server_accept(struct netctl_server *s, int64_t now) {
    for (int k = 0; k < NETCTL_CONN_MAX; k++) {
        int victim = -1;
        if (s->ns_n == NETCTL_CONN_MAX && (victim = netctl_server_oldest(s)) < 0) return;
        int fd = accept4(s->ns_lfd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0 && errno == EINTR) continue;
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) netctl_server_accept_failed(s, errno, now);
            return;
        }
        if (victim >= 0) {
            if (netctl_ratelog_event(&s->ns_evict_log, now) && (tr_mask & 1))
                tr_log(1, TR_WARN,
                       "netctl_threadfn: %d connections open, the oldest without a whole "
                       "request closed",
                       NETCTL_CONN_MAX);
            netctl_server_close(s, victim);
        }
        int i = 0;
        while (s->ns_conns[i].nc_fd >= 0)
            i++;
        struct netctl_conn *c = &s->ns_conns[i];
        netctl_conn_open(c, fd, ++s->ns_seq, now);
        struct ucred cr;
        socklen_t crlen = sizeof(cr);
        bool known = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cr, &crlen) == 0;
        c->nc_uid = known ? cr.uid : UINT32_MAX;
        c->nc_own = known && cr.pid == s->ns_pid;
        c->nc_fail_logs = s->ns_fail_logs;
        s->ns_n++;
        // A client usually sends its request with its connect: it may be
        // served in this very pass.
        netctl_conn_recv(c);
    }
}

// The counts of failures not logged one by one, of the runs whose period
// has ended, or of every run at the end (final).
static void netctl_server_tell(struct netctl_server *s, int64_t now, bool final) {
    auto due = [&](struct netctl_ratelog *rl) {
        return netctl_ratelog_due(rl, final ? std::max(now, rl->nrl_since_ns + NETCTL_RATELOG_NS)
                                            : now);
    };
    const int period_s = int(NETCTL_RATELOG_NS / 1000000000);
    char eb[128];
    unsigned more = due(&s->ns_acc_log);
    if (more > 0 && (tr_mask & 1))
        tr_log(1, TR_ERROR, "netctl_threadfn: %s(%d), %u more in the last %d s",
               netctl_strerror(s->ns_acc_err, eb, sizeof(eb)), s->ns_acc_err, more, period_s);
    more = due(&s->ns_evict_log);
    if (more > 0 && (tr_mask & 1))
        tr_log(1, TR_WARN,
               "netctl_threadfn: %u more connections without a whole request closed in the "
               "last %d s",
               more, period_s);
    static constexpr const char *fail_fn[2] = {"netctl_recv_request", "netctl_send_response"};
    for (int k = 0; k < 2; k++) {
        more = due(&s->ns_fail_logs[k]);
        if (more > 0 && (tr_mask & 1))
            tr_log(1, TR_ERROR, "%s: %u more failures in the last %d s", fail_fn[k], more,
                   period_s);
    }
}

// One wait on the epoll set and what follows from it.
static void netctl_server_pass(struct netctl_server *s) {
    netctl_server_spare(s);
    int64_t now = netctl_now_ns();
    int64_t wake = std::min({netctl_ratelog_next_ns(&s->ns_acc_log),
                             netctl_ratelog_next_ns(&s->ns_evict_log),
                             netctl_ratelog_next_ns(&s->ns_fail_logs[0]),
                             netctl_ratelog_next_ns(&s->ns_fail_logs[1])});
    bool accepting =
        now >= s->ns_pause_until_ns && (s->ns_n < NETCTL_CONN_MAX || netctl_server_oldest(s) >= 0);
    if (now < s->ns_pause_until_ns) wake = std::min(wake, s->ns_pause_until_ns);
    wake = std::min(wake, s->ns_wait_until_ns);
    if (accepting != s->ns_accepting) {
        // Not accepting, the listening socket is still watched for the
        // hang-up by which the shut-down function wakes the thread.
        struct epoll_event ev = {};
        ev.events = accepting ? uint32_t(EPOLLIN) : 0;
        ev.data.u32 = NETCTL_CONN_MAX;
        if (epoll_ctl(s->ns_efd, EPOLL_CTL_MOD, s->ns_lfd, &ev) == 0) s->ns_accepting = accepting;
    }
    for (int i = 0; i < NETCTL_CONN_MAX; i++)
        if (s->ns_conns[i].nc_fd >= 0) wake = std::min(wake, s->ns_conns[i].nc_deadline_ns);
    struct epoll_event evs[64];
    int n = epoll_wait(s->ns_efd, evs, 64, wake == INT64_MAX ? -1 : netctl_ms_until(wake, now));
    if (n < 0 && errno != EINTR) netctl_sleep_ms(NETCTL_ACCEPT_BACKOFF_MS);
    if (netctl_stop.load()) return;
    now = netctl_now_ns();

    netctl_server_tell(s, now, false);

    bool incoming = false;
    for (int k = 0; k < n; k++) {
        uint32_t i = evs[k].data.u32;
        if (i == NETCTL_CONN_MAX)
            incoming = (evs[k].events & EPOLLIN) != 0;
        else if (s->ns_conns[i].nc_fd >= 0)
            netctl_conn_step(&s->ns_conns[i]);
    }
    netctl_server_sweep(s);  // slots for the new connections
    if (incoming) netctl_server_accept(s, now);
    for (int i = 0; i < NETCTL_CONN_MAX; i++) {
        struct netctl_conn *c = &s->ns_conns[i];
        if (c->nc_fd >= 0 && now >= c->nc_deadline_ns && c->nc_state != NETCTL_C_DONE)
            netctl_conn_expire(c);
    }
    netctl_server_serve_ready(s, now);
    netctl_server_sweep(s);
}

// Sets the server up on the listening socket fd: -1 when no epoll set can
// be made.
static int netctl_server_start(struct netctl_server *s, int fd) {
    s->ns_lfd = fd;
    s->ns_efd = epoll_create1(EPOLL_CLOEXEC);
    s->ns_spare = -1;
    s->ns_n = 0;
    s->ns_pause_until_ns = 0;
    s->ns_accepting = true;
    s->ns_wait_until_ns = INT64_MAX;
    s->ns_pid = getpid();
    for (auto &b : s->ns_shares)
        b = netctl_share{};
    s->ns_acc_log = s->ns_evict_log = netctl_ratelog{};
    for (auto &rl : s->ns_fail_logs)
        rl = netctl_ratelog{};
    s->ns_fail_logs[0].nrl_burst = s->ns_fail_logs[1].nrl_burst = NETCTL_FAIL_BURST;
    for (auto &c : s->ns_conns)
        c.nc_fd = -1;
    struct epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.u32 = NETCTL_CONN_MAX;
    if (s->ns_efd >= 0 && epoll_ctl(s->ns_efd, EPOLL_CTL_ADD, fd, &ev) == 0) return 0;
    if (s->ns_efd >= 0) close(s->ns_efd);
    return -1;
}

static void netctl_server_end(struct netctl_server *s) {
    for (int i = 0; i < NETCTL_CONN_MAX; i++)
        if (s->ns_conns[i].nc_fd >= 0) netctl_server_close(s, i);
    netctl_server_tell(s, netctl_now_ns(), true);
    close(s->ns_efd);
    if (s->ns_spare >= 0) close(s->ns_spare);
}

void *netctl_threadfn(void *) {
    char eb[128];
    const char *rundir = agent_cfg != nullptr ? agent_cfg->ac_rundir : nullptr;
    if (rundir == nullptr || rundir[0] == '\0') {
        tr_log(1, TR_ERROR, "netctl_threadfn: Run dir not set.");
        return nullptr;
    }
    char path[sizeof(netctl_path)];
    int fd = netctl_sock_path(path, sizeof(path), rundir) < 0 ? -ENAMETOOLONG : netctl_listen(path);
    struct netctl_server *s = &netctl_srv;
    if (fd >= 0 && (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0 ||
                    netctl_server_start(s, fd) != 0)) {
        int err = errno;
        unlink(path);
        close(fd);
        fd = -err;
    }
    if (fd < 0) {
        if (tr_mask & 1)
            tr_log(1, TR_ERROR, "netctl_threadfn: bind error %s(%d)",
                   netctl_strerror(-fd, eb, sizeof(eb)), -fd);
        return nullptr;
    }
    struct stat st;
    netctl_path_known = stat(path, &st) == 0;
    netctl_path_dev = netctl_path_known ? st.st_dev : 0;
    netctl_path_ino = netctl_path_known ? st.st_ino : 0;
    memcpy(netctl_path, path, sizeof(path));
    netctl_listen_fd.store(fd);
    while (!netctl_stop.load())
        netctl_server_pass(s);
    netctl_server_end(s);
    return nullptr;
}

void netctl_mod_init(void *) {
    netctl_lock_init();
    if (netctl_thread_started) return;
    netctl_stop.store(0);
    nthread_create(&netctl_thread, netctl_threadfn, nullptr);
    netctl_thread_started = true;
}
SYSINIT(netctl_mod, "netctl_mod", SI_SUB_NETCTL, SI_ORDER_ANY, netctl_mod_init, nullptr);

void netctl_mod_fini(void *) {
    netctl_stop.store(1);
    int fd = netctl_listen_fd.load();
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
    if (netctl_thread_started) {
        nthread_term(&netctl_thread);
        netctl_thread_started = false;
    }
    fd = netctl_listen_fd.exchange(-1);
    if (fd >= 0) {
        close(fd);
        // Another process may have put its own socket at the path since
        // (an agent started by hand while this one ran): not ours.
        struct stat st;
        if (netctl_path_known && lstat(netctl_path, &st) == 0 && st.st_dev == netctl_path_dev &&
            st.st_ino == netctl_path_ino)
            unlink(netctl_path);
    }
    tr_log(1, TR_INFO, "Netctl module destroyed");
}
SYSUNINIT(netctl_mod, "netctl_mod", SI_SUB_NETCTL, SI_ORDER_ANY, netctl_mod_fini, nullptr);

/*
 * Client side.
 */

// Connects to path; on failure *call names the call that failed.
static int netctl_connect(const char *path, const char **call) {
    size_t plen = strlen(path);
    *call = "connect";
    if (plen > NETCTL_SUN_PATH_MAX) return -ENAMETOOLONG;
    struct sockaddr_un sa;
    memset(&sa, 0, sizeof(sa));
    sa.sun_family = AF_UNIX;
    memcpy(sa.sun_path, path, plen);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *call = "socket";
        return -errno;
    }
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&sa),
                socklen_t(offsetof(struct sockaddr_un, sun_path) + plen)) != 0) {
        int err = errno;
        close(fd);
        return -err;
    }
    return fd;
}

int netctl_aunix_connect(const char *path) {
    const char *call;
    int fd = netctl_connect(path, &call);
    if (fd < 0) {
        char eb[128];
        printf("netctl_aunix_connect: %s failed: %s", call, netctl_strerror(-fd, eb, sizeof(eb)));
        fflush(stdout);
    }
    return fd;
}

int netctl_client_connect(const char *path, int timeout_ms) {
    const char *call;
    int fd = netctl_connect(path, &call);
    if (fd < 0 || timeout_ms <= 0) return fd;
    struct timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) != 0) {
        int err = errno;
        close(fd);
        return -err;
    }
    return fd;
}

int netctl_client_request(int fd, const char *name, uint8_t op, uint8_t flags) {
    struct netctl_msg msg;
    memset(&msg, 0, sizeof(msg));
    memcpy(msg.nm_name, name, strnlen(name, NETCTL_NAME_MAX - 1));
    msg.nm_op = op;
    msg.nm_flags = flags;
    size_t off = 0;
    while (off < sizeof(msg)) {
        ssize_t n = send(fd, reinterpret_cast<char *>(&msg) + off, sizeof(msg) - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -errno;
        off += size_t(n);
    }
    return 0;
}

// Reads exactly len bytes: len, 0 at a clean end before the first byte,
// -EPROTO at an end after it, or the negated errno.
static ssize_t netctl_client_read(int fd, void *buf, size_t len) {
    size_t got = 0;
    while (got < len) {
        ssize_t n = recv(fd, static_cast<char *>(buf) + got, len - got, 0);
        if (n == 0) return got == 0 ? 0 : -EPROTO;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? -ETIMEDOUT : -errno;
        got += size_t(n);
    }
    return ssize_t(got);
}

int netctl_client_response(int fd, struct netctl_msg *msg, char *name, void *body, size_t cap) {
    ssize_t n = netctl_client_read(fd, msg, sizeof(*msg));
    if (n <= 0) return int(n);
    memcpy(name, msg->nm_name, NETCTL_NAME_MAX);
    name[NETCTL_NAME_MAX] = '\0';
    if (msg->nm_len > cap) return -EMSGSIZE;
    if (msg->nm_len == 0) return 1;
    n = netctl_client_read(fd, body, msg->nm_len);
    if (n == 0) return -EPROTO;
    return n < 0 ? int(n) : 1;
}
