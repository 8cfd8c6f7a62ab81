// agent_diag: socket tables from the kernel's socket diagnostics; see
// agent_diag.h.
#include "agent/agent_diag.h"

#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "agent/agent_diag_internal.h"

static_assert(sizeof(struct nlmsghdr) == 16, "netlink header layout");
static_assert(sizeof(struct inet_diag_req) == 60, "inet_diag request layout");
static_assert(sizeof(struct inet_diag_req_v2) == 56, "inet_diag request layout");
static_assert(sizeof(struct inet_diag_msg) == 72, "inet_diag message layout");
static_assert(AGENT_DIAG_EXT == 1 << (INET_DIAG_INFO - 1),
              "tcp_info is what the TCP dump asks for");
static_assert(NLMSG_ALIGN(sizeof(struct inet_diag_msg)) == sizeof(struct inet_diag_msg),
              "attributes follow the message directly");

namespace {

// Connected to the kernel, so that no other process can send to it.
int sys_open(void) {
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    struct sockaddr_nl kernel = {};
    kernel.nl_family = AF_NETLINK;
    if (fd >= 0 && connect(fd, reinterpret_cast<struct sockaddr *>(&kernel), sizeof(kernel)) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

ssize_t sys_send(int fd, const void *buf, size_t len) {
    return send(fd, buf, len, 0);
}

ssize_t sys_recv(int fd, struct msghdr *msg) {
    return recvmsg(fd, msg, MSG_DONTWAIT);
}

// The socket states asked for: TCP without time-wait and request sockets
// (neither has an inode the scan could use), UDP in every state.  The
// listening sockets say which local ports serve.
constexpr uint32_t TCP_STATES = 0xfff & ~((1u << 0) | (1u << 6 /* TIME_WAIT */));
constexpr uint32_t UDP_STATES = 0xfff;

// A dump request of either form.
struct request {
    struct nlmsghdr h;
    union {
        struct inet_diag_req v1;  // TCPDIAG_GETSOCK: TCP, both families
        struct inet_diag_req_v2 v2;
    };
};

void fill_request(int dump, uint32_t seq, struct request *req) {
    *req = request{};
    req->h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    req->h.nlmsg_seq = seq;
    if (dump == AGENT_DIAG_TCP) {
        req->h.nlmsg_len = NLMSG_LENGTH(sizeof(req->v1));
        req->h.nlmsg_type = TCPDIAG_GETSOCK;
        req->v1.idiag_family = AF_INET;  // ignored: the dump covers both
        req->v1.idiag_ext = agent_diag_ext;
        req->v1.idiag_states = TCP_STATES;
        return;
    }
    req->h.nlmsg_len = NLMSG_LENGTH(sizeof(req->v2));
    req->h.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    req->v2.sdiag_family = dump == AGENT_DIAG_UDP ? AF_INET : AF_INET6;
    req->v2.sdiag_protocol = IPPROTO_UDP;
    req->v2.idiag_states = UDP_STATES;
}

int diag_fd = -1;
uint32_t diag_seq;
// The kernel's dump datagrams are at most 32 KiB for any reader.
alignas(8) uint8_t answer[32768];

int fail(int err) {
    agent_diag_close();
    errno = err;
    return -1;
}

// The figures of a tcp_info attribute of len bytes; the kernel's record
// grows with its version, so a field beyond len stays 0.
void tcp_figures(const uint8_t *p, size_t len, struct agent_sock *s) {
    struct tcp_info t = {};
    memcpy(&t, p, len < sizeof(t) ? len : sizeof(t));
    s->as_info = 1;
    s->as_segs_out = t.tcpi_segs_out;
    s->as_segs_in = t.tcpi_segs_in;
    s->as_retrans = t.tcpi_total_retrans;
    s->as_rtt_us = t.tcpi_rtt;
    s->as_rttvar_us = t.tcpi_rttvar;
    // The kernel's acknowledged bytes count the SYN and FIN too; where it
    // reports the data bytes sent, no more than those were acknowledged.
    s->as_bytes_acked = t.tcpi_bytes_acked;
    if (len >= offsetof(struct tcp_info, tcpi_bytes_retrans) + sizeof(t.tcpi_bytes_retrans))
        s->as_bytes_acked =
            std::min<uint64_t>(t.tcpi_bytes_acked, t.tcpi_bytes_sent - t.tcpi_bytes_retrans);
    s->as_bytes_received = t.tcpi_bytes_received;
    s->as_delivery_rate = t.tcpi_delivery_rate;
}

// The attribute area of one message: false unless every attribute's length
// lies within the message.  A TCP socket's tcp_info goes into s.
bool attrs_take(const uint8_t *p, size_t len, struct agent_sock *s) {
    while (len > 0) {
        struct rtattr a;
        if (len < sizeof(a)) return false;
        memcpy(&a, p, sizeof(a));
        if (a.rta_len < sizeof(a) || a.rta_len > len) return false;
        if (a.rta_type == INET_DIAG_INFO && s->as_proto == IPPROTO_TCP)
            tcp_figures(p + RTA_LENGTH(0), a.rta_len - RTA_LENGTH(0), s);
        size_t step = RTA_ALIGN(a.rta_len);
        if (step > len) step = len;
        p += step;
        len -= step;
    }
    return true;
}

// One inet_diag message into a socket record; false when malformed.
bool diag_record(const uint8_t *body, size_t len, int proto, struct agent_sock *s) {
    struct inet_diag_msg m;
    if (len < sizeof(m)) return false;
    memcpy(&m, body, sizeof(m));
    if (m.idiag_family != AF_INET && m.idiag_family != AF_INET6) return false;
    *s = agent_sock{};
    s->as_proto = uint8_t(proto);
    if (!attrs_take(body + sizeof(m), len - sizeof(m), s)) return false;
    s->as_v6 = m.idiag_family == AF_INET6;
    s->as_state = m.idiag_state;
    const size_t alen = s->as_v6 ? 16 : 4;
    memcpy(s->as_src6, m.id.idiag_src, alen);
    memcpy(s->as_dst6, m.id.idiag_dst, alen);
    s->as_sport = ntohs(m.id.idiag_sport);
    s->as_dport = ntohs(m.id.idiag_dport);
    s->as_txq = m.idiag_wqueue;
    s->as_rxq = m.idiag_rqueue;
    s->as_inode = m.idiag_inode;
    s->as_cookie = uint64_t(m.id.idiag_cookie[0]) | uint64_t(m.id.idiag_cookie[1]) << 32;
    s->as_attr = body + sizeof(m);
    s->as_attr_len = uint32_t(len - sizeof(m));
    return true;
}

}  // namespace

struct agent_diag_sys agent_diag_sys = {sys_open, sys_send, sys_recv, close};
uint8_t agent_diag_ext = AGENT_DIAG_EXT;

int agent_diag_parse(const void *buf, size_t len, uint32_t seq, int proto, agent_diag_fn fn,
                     void *arg) {
    const uint8_t *p = static_cast<const uint8_t *>(buf);
    while (len > 0) {
        struct nlmsghdr h;
        if (len < sizeof(h)) break;
        memcpy(&h, p, sizeof(h));
        if (h.nlmsg_len < sizeof(h) || h.nlmsg_len > len || h.nlmsg_seq != seq) break;
        const uint8_t *body = p + sizeof(h);
        const size_t blen = h.nlmsg_len - sizeof(h);
        int err = 0;
        if (blen >= sizeof(err)) memcpy(&err, body, sizeof(err));
        if (h.nlmsg_type == NLMSG_DONE || h.nlmsg_type == NLMSG_ERROR) {
            // A dump ends with DONE carrying its result; an ERROR with 0
            // would be an acknowledgement.
            if (h.nlmsg_type == NLMSG_ERROR && blen < sizeof(err)) break;
            if (err == 0) return 1;
            errno = err < 0 && err > -4096 ? -err : EPROTO;
            return -1;
        }
        if (h.nlmsg_type == SOCK_DIAG_BY_FAMILY || h.nlmsg_type == TCPDIAG_GETSOCK) {
            struct agent_sock s;
            if (!diag_record(body, blen, proto, &s)) break;
            fn(arg, &s);
        } else if (h.nlmsg_type == NLMSG_OVERRUN) {
            break;
        }
        const size_t step = NLMSG_ALIGN(h.nlmsg_len) < len ? NLMSG_ALIGN(h.nlmsg_len) : len;
        p += step;
        len -= step;
    }
    if (len == 0) return 0;
    errno = EPROTO;
    return -1;
}

int agent_diag_dump(int dump, agent_diag_fn fn, void *arg) {
    if (dump < 0 || dump >= AGENT_DIAG_DUMPS) return fail(EINVAL);
    if (diag_fd < 0 && (diag_fd = agent_diag_sys.open()) < 0) return -1;
    struct request req;
    fill_request(dump, ++diag_seq, &req);
    if (agent_diag_sys.send(diag_fd, &req, req.h.nlmsg_len) != ssize_t(req.h.nlmsg_len))
        return fail(errno != 0 ? errno : EIO);
    int count = 0;
    struct counter {
        agent_diag_fn fn;
        void *arg;
        int *count;
    } c = {fn, arg, &count};
    auto counted = [](void *a, const struct agent_sock *s) {
        auto *c = static_cast<counter *>(a);
        (*c->count)++;
        c->fn(c->arg, s);
    };
    for (;;) {
        struct sockaddr_nl from = {};
        struct iovec iov = {answer, sizeof(answer)};
        struct msghdr msg = {};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof(from);
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        errno = 0;
        ssize_t n = agent_diag_sys.recv(diag_fd, &msg);
        // Nothing waiting is a broken answer: the kernel queues each part of
        // a dump before the previous one has been read to its end.
        if (n <= 0) return fail(n == 0 || errno == EAGAIN || errno == 0 ? EPROTO : errno);
        if ((msg.msg_flags & MSG_TRUNC) != 0 || size_t(n) > sizeof(answer) || from.nl_pid != 0)
            return fail(EPROTO);
        int r = agent_diag_parse(answer, size_t(n), req.h.nlmsg_seq,
                                 dump == AGENT_DIAG_TCP ? IPPROTO_TCP : IPPROTO_UDP, counted, &c);
        if (r < 0) return fail(errno);
        if (r == 1) return count;
    }
}

void agent_diag_close(void) {
    if (diag_fd >= 0) agent_diag_sys.close(diag_fd);
    diag_fd = -1;
}
