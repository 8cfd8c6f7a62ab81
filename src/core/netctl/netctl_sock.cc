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
// A request holds the tree lock from resolution to its last response, so
// every connection gets a deadline for its receive and all its sends
// (netctl_conn_timeout): the socket is used without blocking and waited on
// with poll up to the deadline.
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
 */

// The bytes of a leaf's result that form whole records within the data
// buffer.  A leaf operation that produced nothing returns 1, which must not
// send a byte of whatever the buffer held.
static size_t netctl_record_count(int len) {
    if (len <= 0) return 0;
    size_t n = size_t(len) > NETCTL_DATA_SIZE ? NETCTL_DATA_SIZE : size_t(len);
    return n / KV_RECORD_SIZE;
}

int netctl_leaf_op(struct netctl_node *np, void *data, struct netctl_req *req, void *instance) {
    const struct netctl_leaf_ops *ops = np->nctl_leaf->nl_ops;
    int len = 0;
    if (req->nr_op == NETCTL_OP_READ && ops->nlo_read != nullptr)
        len = ops->nlo_read(np, data, instance);
    else if (req->nr_op == NETCTL_OP_LIST && ops->nlo_read_all != nullptr)
        len = ops->nlo_read_all(np, data, instance);
    size_t nrec = netctl_record_count(len);
    req->nr_len = uint32_t(nrec * KV_RECORD_SIZE);
    int rc = req->nr_respond(req);
    // The string copies belong to this request; the peer only saw their
    // addresses.
    kv_record_release(static_cast<struct kv_record *>(data), nrec);
    req->nr_len = 0;
    return rc == 0 ? 0 : -1;
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
        int rc = req->nr_respond(req);
        req->nr_len = 0;
        return rc == 0 ? 0 : -1;
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

int netctl_process_request(struct netctl_req *req) {
    int remaining = int(strnlen(req->nr_name, NETCTL_NAME_MAX));
    void *instance = nullptr;
    if (req->nr_flags & NETCTL_F_PARENT) req->nr_parent = 1;

    netctl_request_guard guard;
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

// Text of one record's value, at most 63 characters.
static void netctl_value_text(const struct kv_record *r, char *buf, size_t size) {
    buf[0] = '\0';
    switch (kv_value_type(r->kr_type)) {
        case KV_T_CHAR:
            snprintf(buf, size, "%c", r->kr_value.c);
            break;
        case KV_T_U16:
            snprintf(buf, size, "%u", unsigned{r->kr_value.u16});
            break;
        case KV_T_U32:
            snprintf(buf, size, "%u", r->kr_value.u32);
            break;
        case KV_T_U64:
            snprintf(buf, size, "%lu", static_cast<unsigned long>(r->kr_value.u64));
            break;
        case KV_T_STRING:
            if (r->kr_value.str != nullptr) snprintf(buf, size, "%s", r->kr_value.str);
            break;
        case KV_T_IPV4_LIST: {
            // The addresses, in dotted form, as many as fit.
            const auto *a = static_cast<const unsigned char *>(r->kr_value.addrs);
            size_t n = a != nullptr ? (size_t(r->kr_size) + 15) / 16 : 0;
            size_t used = 0;
            for (size_t i = 0; i < n; i++) {
                const unsigned char *ip = a + i * 16 + 4;  // sin_addr, network order
                int w = snprintf(buf + used, size - used, "%s%u.%u.%u.%u", i ? " " : "", ip[0],
                                 ip[1], ip[2], ip[3]);
                if (w < 0 || size_t(w) >= size - used) {
                    buf[used] = '\0';
                    break;
                }
                used += size_t(w);
            }
            break;
        }
        default:
            break;
    }
}

int netctl_log_records(struct netctl_req *req) {
    if (req->nr_len == 0 || !(tr_mask & 1)) return 0;
    size_t n = req->nr_len > NETCTL_DATA_SIZE ? NETCTL_DATA_SIZE : req->nr_len;
    n = n < KV_RECORD_SIZE ? 1 : n / KV_RECORD_SIZE;
    const auto *r = reinterpret_cast<const struct kv_record *>(req->nr_data);
    for (size_t i = 0; i < n; i++) {
        char value[64];
        char full[320];
        netctl_value_text(&r[i], value, sizeof(value));
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
