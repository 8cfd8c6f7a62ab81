// netctl_sock: the control socket server, the log dump and the client side.
//
// Threads and state: one server thread (netctl_threadfn) accepts and serves
// connections one after another.  The listening socket and the stop flag
// are shared with the shut-down function on another thread and are atomics:
// the thread publishes the socket and then looks at the flag, the shut-down
// function sets the flag and then looks for the socket, so that one of them
// always sees the other and the thread never blocks in accept after a stop.
// The shut-down function wakes an accept by shutting the listening socket
// down, and waits for the thread before it closes the socket and removes
// its file.  The socket path is written by the thread before it publishes
// the socket and read by the shut-down function after the thread has ended.
//
// Connections are served one after another, so every connection gets a
// deadline for its receive and all its sends (netctl_conn_timeout): the
// socket is used without blocking and waited on with poll up to the
// deadline.  The tree lock is never held meanwhile: a request reads its
// answer under the lock and sends it afterwards.
#include "core/netctl/netctl_sock.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>

#include "core/agent_config.h"
#include "core/logging.h"
#include "core/netctl/netctl_vars.h"
#include "core/nthread_unix.h"
#include "core/sysinit.h"

static_assert(NETCTL_SUN_PATH_MAX + 1 == sizeof(((struct sockaddr_un *)nullptr)->sun_path),
              "a socket path and its NUL fill sun_path");
static_assert(NETCTL_DATA_SIZE <= UINT16_MAX, "a body length fits the header's 16 bits");

static std::atomic<int> netctl_listen_fd{-1};
static std::atomic<int> netctl_stop{0};
static std::atomic<int> netctl_timeout_ms{NETCTL_CONN_TIMEOUT_MS};
static char netctl_path[PATH_MAX];
static pthread_t netctl_thread;
static bool netctl_thread_started;

// Deadline of the connection the calling thread serves, in nanoseconds of
// the monotonic clock; 0 when none has been set.
static thread_local int64_t netctl_deadline_ns;

static const char *netctl_strerror(int err, char *buf, size_t size) {
    return strerror_r(err, buf, size);
}

/*
 * Connection deadlines.
 */

static int64_t netctl_now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void netctl_set_conn_timeout(int ms) {
    netctl_timeout_ms.store(ms > 0 ? ms : 1);
}

int netctl_conn_timeout_ms(void) {
    return netctl_timeout_ms.load();
}

static void netctl_conn_begin(void) {
    netctl_deadline_ns = netctl_now_ns() + int64_t(netctl_timeout_ms.load()) * 1000000;
}

// Waits until fd is ready for events or the deadline passes.  0 when ready,
// -1 with errno (ETIMEDOUT at the deadline).
static int netctl_wait(int fd, short events) {
    if (netctl_deadline_ns == 0) netctl_conn_begin();
    for (;;) {
        int64_t left = netctl_deadline_ns - netctl_now_ns();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        struct pollfd pfd = {fd, events, 0};
        int n = poll(&pfd, 1, int((left + 999999) / 1000000));
        if (n > 0) return 0;  // ready, or an error that the next call reports
        if (n < 0 && errno != EINTR) return -1;
    }
}

// Receives up to len bytes, stopping early at the end of the stream.
// Returns the bytes received, or -1 with errno.
static ssize_t netctl_recv_all(int fd, void *buf, size_t len) {
    size_t got = 0;
    while (got < len) {
        ssize_t n = recv(fd, static_cast<char *>(buf) + got, len - got, MSG_DONTWAIT);
        if (n > 0) {
            got += size_t(n);
        } else if (n == 0) {
            break;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (netctl_wait(fd, POLLIN) < 0) return -1;
        } else if (errno != EINTR) {
            return -1;
        }
    }
    return ssize_t(got);
}

// Sends the iovcnt buffers whole.  *sent counts the bytes that went out.
// 0, or -1 with errno (EPIPE for a peer that has gone, ETIMEDOUT at the
// deadline).
static int netctl_send_all(int fd, struct iovec *iov, int iovcnt, size_t *sent) {
    *sent = 0;
    while (iovcnt > 0) {
        struct msghdr mh = {};
        mh.msg_iov = iov;
        mh.msg_iovlen = size_t(iovcnt);
        ssize_t n = sendmsg(fd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
            if (netctl_wait(fd, POLLOUT) < 0) return -1;
            continue;
        }
        *sent += size_t(n);
        size_t left = size_t(n);
        while (iovcnt > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            iov++;
            iovcnt--;
        }
        if (iovcnt > 0) {
            iov->iov_base = static_cast<char *>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return 0;
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

int netctl_recv_request(int fd) {
    static_assert(sizeof(struct netctl_req) < 64 * 1024, "a request fits a thread's stack");
    struct netctl_msg msg;
    memset(&msg, 0, sizeof(msg));
    struct netctl_req req;
    memset(&req, 0, sizeof(req));
    req.nr_fd = fd;
    req.nr_respond = netctl_send_response;
    req.nr_datap = req.nr_data;

    netctl_conn_begin();
    if (netctl_recv_all(fd, &msg, sizeof(msg)) < 0) {
        int err = errno;
        char eb[128];
        if (tr_mask & 1)
            tr_log(1, TR_ERROR, "netctl_recv_request: %s", netctl_strerror(err, eb, sizeof(eb)));
        return -1;
    }
    // A peer may fill all 128 bytes of the name: keep it terminated.
    char name[NETCTL_NAME_MAX + 1];
    memcpy(name, msg.nm_name, NETCTL_NAME_MAX);
    name[NETCTL_NAME_MAX] = '\0';
    req.nr_name = name;
    req.nr_op = msg.nm_op;
    req.nr_flags = msg.nm_flags;
    return netctl_process_request(&req);
}

int netctl_send_response(struct netctl_req *req) {
    struct netctl_msg msg;
    memset(&msg, 0, sizeof(msg));
    memcpy(msg.nm_name, req->nr_name, strnlen(req->nr_name, NETCTL_NAME_MAX));
    msg.nm_len = uint16_t(req->nr_len);
    req->nr_datap = req->nr_data;
    struct iovec iov[2] = {{&msg, sizeof(msg)}, {req->nr_datap, msg.nm_len}};
    size_t sent;
    if (netctl_send_all(req->nr_fd, iov, msg.nm_len != 0 ? 2 : 1, &sent) == 0) return 0;
    int err = errno;
    char eb[128];
    if (tr_mask & 1) {
        const char *what = sent < sizeof(msg) ? "netctl_msg" : "response";
        tr_log(1, TR_ERROR, "netctl_send_response: %s %s", what,
               netctl_strerror(err, eb, sizeof(eb)));
    }
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

void *netctl_threadfn(void *) {
    char eb[128];
    const char *rundir = agent_cfg != nullptr ? agent_cfg->ac_rundir : nullptr;
    if (rundir == nullptr || rundir[0] == '\0') {
        tr_log(1, TR_ERROR, "netctl_threadfn: Run dir not set.");
        return nullptr;
    }
    char path[sizeof(netctl_path)];
    int fd = netctl_sock_path(path, sizeof(path), rundir) < 0 ? -ENAMETOOLONG : netctl_listen(path);
    if (fd < 0) {
        if (tr_mask & 1)
            tr_log(1, TR_ERROR, "netctl_threadfn: bind error %s(%d)",
                   netctl_strerror(-fd, eb, sizeof(eb)), -fd);
        return nullptr;
    }
    memcpy(netctl_path, path, sizeof(path));
    netctl_listen_fd.store(fd);
    while (!netctl_stop.load()) {
        int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            int err = errno;
            // The shut-down function wakes accept by shutting the socket
            // down; that error is not worth a line.
            if (netctl_stop.load()) break;
            if (err == EINTR) continue;
            if (tr_mask & 1)
                tr_log(1, TR_ERROR, "netctl_threadfn: %s(%d)\n",
                       netctl_strerror(err, eb, sizeof(eb)), err);
            // A peer that gave up is transient.  Anything else (no
            // descriptors, no memory) lasts a while: retrying at once
            // would only spin.
            if (err != ECONNABORTED) netctl_sleep_ms(NETCTL_ACCEPT_BACKOFF_MS);
            continue;
        }
        if (netctl_stop.load()) {
            close(c);
            break;
        }
        netctl_recv_request(c);
        close(c);
    }
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
