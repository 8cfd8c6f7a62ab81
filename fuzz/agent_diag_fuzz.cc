// Fuzz target: socket-diagnostics answers played to the agent's dump loop
// through its system-call seam.  Input: one byte (the dump, modulo three;
// bit 7 gives every message the request's sequence number), then datagrams,
// each a little-endian u16 length and its bytes.  Checked: the dump ends
// (a missing datagram is an error, never a wait), every socket handed over
// matches the dump's protocol and has its attributes inside the datagram,
// each attribute inside them, and a failed dump leaves the socket closed.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "../src/agent/agent_diag.cc"
#include "fuzz_support.h"

namespace fz_diag {

std::vector<std::string> datagrams;
size_t next;
size_t last_len;  // of the datagram being parsed
bool patch_seq;
uint32_t seq;
int handed;

int open_fn(void) {
    return 1000;
}

ssize_t send_fn(int, const void *buf, size_t len) {
    struct nlmsghdr h;
    FZ_CHECK(len >= sizeof(h));
    memcpy(&h, buf, sizeof(h));
    FZ_CHECK(h.nlmsg_len == len && (h.nlmsg_flags & NLM_F_DUMP) != 0);
    seq = h.nlmsg_seq;
    return ssize_t(len);
}

ssize_t recv_fn(int, struct msghdr *msg) {
    if (next == datagrams.size()) {
        errno = EAGAIN;
        return -1;
    }
    std::string d = datagrams[next++];
    for (size_t at = 0; patch_seq && at + sizeof(nlmsghdr) <= d.size();) {
        struct nlmsghdr h;
        memcpy(&h, &d[at], sizeof(h));
        h.nlmsg_seq = seq;
        memcpy(&d[at], &h, sizeof(h));
        at += (std::max<size_t>(h.nlmsg_len, sizeof(h)) + 3) & ~size_t{3};
    }
    const size_t n = d.size() < msg->msg_iov[0].iov_len ? d.size() : msg->msg_iov[0].iov_len;
    memcpy(msg->msg_iov[0].iov_base, d.data(), n);
    msg->msg_flags = n < d.size() ? MSG_TRUNC : 0;
    last_len = n;
    return ssize_t(n);
}

int close_fn(int) {
    return 0;
}

int proto;

void check_socket(void *, const struct agent_sock *s) {
    handed++;
    FZ_CHECK(s->as_proto == proto && s->as_v6 <= 1);
    FZ_CHECK(s->as_attr >= answer && s->as_attr + s->as_attr_len <= answer + last_len);
    const uint8_t *p = s->as_attr;
    for (size_t left = s->as_attr_len; left > 0;) {
        struct rtattr a;
        FZ_CHECK(left >= sizeof(a));
        memcpy(&a, p, sizeof(a));
        FZ_CHECK(a.rta_len >= sizeof(a) && a.rta_len <= left);
        const size_t step = RTA_ALIGN(a.rta_len) < left ? RTA_ALIGN(a.rta_len) : left;
        p += step;
        left -= step;
    }
}

}  // namespace fz_diag

int fz_run_agent_diag(const uint8_t *data, size_t size) {
    using namespace fz_diag;
    fz::Reader in(data, size);
    const uint8_t first = in.u8();
    const int dump = first % AGENT_DIAG_DUMPS;
    patch_seq = (first & 0x80) != 0;
    proto = dump == AGENT_DIAG_TCP ? IPPROTO_TCP : IPPROTO_UDP;
    datagrams.clear();
    while (!in.empty())
        datagrams.push_back(in.bytes(in.u16()));
    next = 0;
    handed = 0;
    agent_diag_sys = {open_fn, send_fn, recv_fn, close_fn};
    const int n = agent_diag_dump(dump, check_socket, nullptr);
    FZ_CHECK(n == -1 || n == handed);
    FZ_CHECK(n >= 0 || diag_fd == -1);
    agent_diag_close();
    return 0;
}

FZ_DRIVER(fz_run_agent_diag)
