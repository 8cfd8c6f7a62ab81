// The agent's feed of the metadata store, driven from a fake proc tree:
// socket tables with owned, unowned, listening and closed sockets, a
// process whose descriptors cannot be read and one that vanished.  The
// socket diagnostics are a fake netlink socket that plays answers recorded
// on a real host (data/, made by bench/sockets_bench --record) next to the
// /proc/net tables recorded with them.
#include "../../src/agent/agent_sockets.cc"
#include "../../src/agent/agent_diag.cc"

#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/tcp.h>
#include <sys/stat.h>

#include <map>
#include <set>
#include <sstream>

#include "agent/agent_engines.h"
#include "core/kv_metadata_internal.h"
#include "core/kv_metrics.h"
#include "core/kv_stats.h"
#include "support/test_support.h"

namespace {

const char *const TCP_HEAD =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
    "inode\n";

// One table line; addresses as the kernel prints them.
std::string line(const char *local, const char *remote, const char *st, unsigned inode) {
    char buf[512];
    snprintf(buf, sizeof(buf),
             "   0: %s %s %s 00000002:00000003 00:00000000 00000000     0        0 %u 1 "
             "0000000000000000 100 0 0 10 0\n",
             local, remote, st, inode);
    return buf;
}

// The fake netlink socket: answers[dump] is played back to a request for
// that dump, two messages per datagram, with the request's sequence
// number.  An empty answer leaves nothing to read.
struct fake_diag {
    bool refuse = false;
    std::string answers[AGENT_DIAG_DUMPS];
    std::string pending;
    uint32_t sender = 0;
    int opens = 0, closes = 0;
} fake;

int fake_open(void) {
    if (fake.refuse) {
        errno = EPROTONOSUPPORT;
        return -1;
    }
    fake.opens++;
    return 1000;
}

ssize_t fake_send(int, const void *buf, size_t len) {
    struct request req;
    if (len > sizeof(req)) return -1;
    memcpy(&req, buf, len);
    const int d = req.h.nlmsg_type == TCPDIAG_GETSOCK    ? AGENT_DIAG_TCP
                  : req.v2.sdiag_protocol != IPPROTO_UDP ? -1
                  : req.v2.sdiag_family == AF_INET       ? AGENT_DIAG_UDP
                                                         : AGENT_DIAG_UDP6;
    fake.pending = d < 0 ? "" : fake.answers[d];
    for (size_t at = 0; at + sizeof(nlmsghdr) <= fake.pending.size();) {
        struct nlmsghdr h;
        memcpy(&h, &fake.pending[at], sizeof(h));
        h.nlmsg_seq = req.h.nlmsg_seq;
        memcpy(&fake.pending[at], &h, sizeof(h));
        at += NLMSG_ALIGN(std::max<uint32_t>(h.nlmsg_len, sizeof(h)));
    }
    return ssize_t(len);
}

ssize_t fake_recv(int, struct msghdr *msg) {
    size_t n = 0;
    for (int m = 0; m < 2 && n + sizeof(nlmsghdr) <= fake.pending.size(); m++) {
        struct nlmsghdr h;
        memcpy(&h, &fake.pending[n], sizeof(h));
        n += std::max<size_t>(NLMSG_ALIGN(h.nlmsg_len), sizeof(h));
    }
    n = std::min(fake.pending.size(), n == 0 ? fake.pending.size() : n);
    if (n == 0) {
        errno = EAGAIN;
        return -1;
    }
    memcpy(msg->msg_iov[0].iov_base, fake.pending.data(), n);
    fake.pending.erase(0, n);
    static_cast<struct sockaddr_nl *>(msg->msg_name)->nl_pid = fake.sender;
    return ssize_t(n);
}

int fake_close(int) {
    fake.closes++;
    return 0;
}

std::string data(const std::string &name) {
    return qt::read_file(std::string(QORV_TEST_SRC_DIR) + "/agent/data/" + name);
}

struct AgentSockets : ::testing::Test {
    qt::TempDir proc, logs;
    static struct agent_config cfg;

    void SetUp() override {
        static bool started = [] {
            agent_engines_start();
            agent_sockets_start("/nonexistent");  // the file export and the statistics
            return true;
        }();
        (void)started;
        fake = fake_diag{};
        fake.refuse = true;
        agent_diag_sys = {fake_open, fake_send, fake_recv, fake_close};
        cfg.ac_logdir = const_cast<char *>(logs.path().c_str());
        cfg.ac_flow_dpi_md = 1;
        agent_cfg = &cfg;
        agent_sockets_configure(1000, true, AGENT_SOCKETS_EXPORT_KB);
        mkdir((proc / "net").c_str(), 0755);
        // 123 "curl" owns 1000 and 1003; 456 has an unreadable fd directory;
        // 789 has gone between the directory read and its comm.
        add_process("123", "curl\n",
                    {{"3", "socket:[1000]"},
                     {"4", "socket:[1003]"},
                     {"5", "/dev/null"},
                     {"6", "socket:[1005]"}});
        mkdir((proc / "456").c_str(), 0755);
        qt::write_file(proc / "456/comm", "sshd\n");
        qt::write_file(proc / "456/fd", "");
        mkdir((proc / "789").c_str(), 0755);
        mkdir((proc / "self").c_str(), 0755);
    }
    void TearDown() override {
        agent_sockets_stop();
        agent_apps_set_top(AGENT_APPS_TOP);
    }

    void add_process(const std::string &pid, const std::string &comm,
                     const std::vector<std::pair<std::string, std::string>> &fds) {
        mkdir((proc / pid).c_str(), 0755);
        qt::write_file(proc / (pid + "/comm"), comm);
        mkdir((proc / (pid + "/fd")).c_str(), 0755);
        for (auto &[fd, target] : fds)
            ASSERT_EQ(symlink(target.c_str(), (proc / (pid + "/fd/" + fd)).c_str()), 0);
    }
    void tables(bool with_closed_socket) {
        std::string tcp = std::string(TCP_HEAD) +
                          line("0100000A:9C40", "22D8B85D:01BB", "01", 1000) +  // curl
                          line("00000000:0016", "00000000:0000", "0A", 1001) +  // listening
                          line("0100000A:9C41", "0200000A:0050", "06", 0);      // time-wait
        if (with_closed_socket) tcp += line("0100000A:9C42", "22D8B85D:01BB", "01", 1002);
        qt::write_file(proc / "net/tcp", tcp);
        qt::write_file(proc / "net/tcp6",
                       std::string(TCP_HEAD) +
                           // ::ffff:10.0.0.1 -> ::ffff:10.0.0.3, curl
                           line("0000000000000000FFFF00000100000A:1F90",
                                "0000000000000000FFFF00000300000A:0050", "01", 1003) +
                           // 2001:db8::1 -> 2001:db8::2, owner unreadable
                           line("B80D0120000000000000000001000000:0016",
                                "B80D0120000000000000000002000000:D431", "01", 1004) +
                           "garbage line\n");
        qt::write_file(proc / "net/udp",
                       std::string(TCP_HEAD) + line("0100000A:0035", "00000000:0000", "07", 1005));
    }
};
struct agent_config AgentSockets::cfg;

uint64_t count_ips() {
    uint64_t n = 0;
    for (struct kv_md_ip *ip : kvmd.ip) {
        (void)ip;
        n++;
    }
    return n;
}

TEST_F(AgentSockets, ParsesTableLinesAndRefusesBrokenOnes) {
    struct agent_sock s;
    ASSERT_EQ(agent_sockets_parse_line(line("0100000A:9C40", "22D8B85D:01BB", "01", 77).c_str(), 6,
                                       0, &s),
              0);
    EXPECT_EQ(s.as_sport, 0x9C40);
    EXPECT_EQ(s.as_dport, 443);
    EXPECT_EQ(s.as_state, 1);
    EXPECT_EQ(s.as_txq, 2u);
    EXPECT_EQ(s.as_rxq, 3u);
    EXPECT_EQ(s.as_inode, 77u);
    EXPECT_EQ(addr_text(normalised(s.as_dst6, false)), "93.184.216.34");
    for (const char *bad :
         {TCP_HEAD, "", "   0: 0100000A:9C40", "   0: 0100000A-9C40 22D8B85D:01BB",
          "   0: 0100000A:9C40 22D8B85D:01BB 01 0000"})
        EXPECT_EQ(agent_sockets_parse_line(bad, 6, 0, &s), -1) << bad;
    EXPECT_EQ(agent_sockets_appid("curl"), agent_sockets_appid("curl"));
    EXPECT_NE(agent_sockets_appid("curl"), agent_sockets_appid("curm"));
    EXPECT_NE(agent_sockets_appid(""), 0u);
}

TEST_F(AgentSockets, SocketsBecomeFlowGroupsOfTheirOwnersAndGoWhenClosed) {
    tables(true);
    const uint64_t base = kvmd_stats.existing;
    EXPECT_EQ(agent_sockets_scan(proc.path().c_str()), 5);
    const struct agent_sockets_stats *st = agent_sockets_stats_block();
    EXPECT_EQ(st->ss_flowgroups, 5u);
    EXPECT_EQ(st->ss_unowned, 2u);     // 1002 has no owner, 1004's cannot be read
    EXPECT_EQ(st->ss_ip_records, 3u);  // 93.184.216.34, 10.0.0.3, 2001:db8::2
    EXPECT_EQ(count_ips(), 3u);
    const uint32_t curl = agent_sockets_appid("curl");
    struct kv_metadata *app = kv_metadata_app_find(curl, 123, 1);
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->kmd_app.kmda_ref_count, 6u);  // three flow groups of curl
    EXPECT_EQ(kvmd_stats.existing - base, 11u);

    // A second read changes nothing; the cycle publishes, the consumer sees
    // every flow group; the file export starts with the store's lists.
    EXPECT_EQ(agent_sockets_scan(proc.path().c_str()), 5);
    EXPECT_EQ(st->ss_created, 5u);
    ticks = kvmd_store.next_update_time + 1;
    agent_sockets_interval(proc.path().c_str());
    EXPECT_EQ(st->ss_exported, 5u);
    std::vector<std::string> lines =
        qt::split_lines(qt::read_file(logs / AGENT_SOCKETS_EXPORT_FILE));
    ASSERT_EQ(lines.size(), 2u);
    // One connection cache per (application, addresses, remote port).
    EXPECT_EQ(std::count(lines[0].begin(), lines[0].end(), '['), 2 * 4) << lines[0];
    EXPECT_NE(lines[0].find("FGCC=appid:" + std::to_string(int(agent_sockets_appid("curl"))) +
                            ",src:10.0.0.1,dst:93.184.216.34,dport:443,proto=:tcp,fg_ts:1000000,"
                            "cc_count:1,cc_lru:{[0:CC=ts:1000000,appid:"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find("(from:A123)->(to:C40000)]}"), std::string::npos) << lines[0];
    // The host listens on port 22: that is the service of the connection to it.
    EXPECT_NE(lines[0].find(",dport:22,"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("(from:A0)->(to:C54321)]}"), std::string::npos) << lines[0];
    for (const char *ip : {"93.184.216.34", "10.0.0.3", "2001:db8::2"})
        EXPECT_NE(lines[1].find(std::string(",ip:") + ip + ",fqdn:]"), std::string::npos) << ip;
    EXPECT_EQ(st->ss_fgcc, 4u);

    // 1002 closes: its flow group goes, the shared IP record stays.
    tables(false);
    EXPECT_EQ(agent_sockets_scan(proc.path().c_str()), 4);
    EXPECT_EQ(st->ss_destroyed, 1u);
    EXPECT_EQ(st->ss_unowned, 1u);
    EXPECT_EQ(count_ips(), 3u);
    // The owner's process goes: its sockets are now unowned flow groups.
    qt::remove_tree(proc / "123");
    agent_sockets_scan(proc.path().c_str());
    EXPECT_EQ(st->ss_unowned, 4u);
    EXPECT_EQ(st->ss_flowgroups, 4u);
    // Every socket closed: nothing left but the exported copies.
    qt::write_file(proc / "net/tcp", "");
    unlink((proc / "net/tcp6").c_str());
    unlink((proc / "net/udp").c_str());
    EXPECT_EQ(agent_sockets_scan(proc.path().c_str()), 0);
    EXPECT_EQ(count_ips(), 0u);
    for (int i = 0; i < 2; i++) {
        ticks = kvmd_store.next_update_time + 1;
        agent_sockets_interval(proc.path().c_str());
    }
    EXPECT_EQ(kvmd_stats.existing, base);
    EXPECT_EQ(st->ss_fgcc, 0u);
    EXPECT_EQ(kvmd.dpi.first(), nullptr);
}

TEST_F(AgentSockets, DescriptorsAreReadOnlyForSocketsWithoutAKnownOwner) {
    tables(false);
    const struct agent_sockets_stats *st = agent_sockets_stats_block();
    uint64_t last = st->ss_fd_reads;
    auto reads = [&] {
        agent_sockets_scan(proc.path().c_str());
        const uint64_t n = st->ss_fd_reads - last;
        last = st->ss_fd_reads;
        return n;
    };
    auto udp = [&](const std::string &more) {
        qt::write_file(
            proc / "net/udp",
            std::string(TCP_HEAD) + line("0100000A:0035", "00000000:0000", "07", 1005) + more);
    };
    EXPECT_EQ(reads(), 3u);         // 123 owns 1000, 1003, 1005; 456 and 789 cannot be read
    EXPECT_EQ(st->ss_unowned, 1u);  // 1004
    EXPECT_EQ(reads(), 0u);
    // A new process is read once, as 1004 has no owner; it does not own it.
    add_process("30", "nc\n", {});
    EXPECT_EQ(reads(), 1u);
    EXPECT_EQ(reads(), 0u);
    // A new socket of 123: the latest owner is read first, and alone.
    ASSERT_EQ(symlink("socket:[1006]", (proc / "123/fd/7").c_str()), 0);
    udp(line("0100000A:0036", "0200000A:0035", "01", 1006));
    EXPECT_EQ(reads(), 1u);
    // One of 30: both are read; one that nobody owns: both again, once.
    ASSERT_EQ(symlink("socket:[1007]", (proc / "30/fd/3").c_str()), 0);
    udp(line("0100000A:0036", "0200000A:0035", "01", 1006) +
        line("0100000A:0037", "0200000A:0035", "01", 1007));
    EXPECT_EQ(reads(), 2u);
    udp(line("0100000A:0036", "0200000A:0035", "01", 1006) +
        line("0100000A:0037", "0200000A:0035", "01", 1007) +
        line("0100000A:0038", "0200000A:0035", "01", 1008));
    EXPECT_EQ(reads(), 2u);
    EXPECT_EQ(reads(), 0u);
    EXPECT_EQ(st->ss_unowned, 2u);  // 1004, 1008
    const uint32_t nc = agent_sockets_appid("nc");
    ASSERT_NE(kv_metadata_app_find(nc, 30, 1), nullptr);
    // 30 goes: its socket's owner is looked for among the others.
    qt::remove_tree(proc / "30");
    EXPECT_EQ(reads(), 1u);
    EXPECT_EQ(st->ss_unowned, 3u);
    EXPECT_EQ(kv_metadata_app_find(nc, 30, 1), nullptr);
}

// The recorded host: "client" (pid 100) holds the client ends, "server"
// (pid 200) the server ends and the UDP server; u6 has no owner.
struct RecordedHost : AgentSockets {
    void SetUp() override {
        AgentSockets::SetUp();
        std::map<std::string, std::string> inode;
        std::istringstream in(data("sockets"));
        for (std::string n, i; in >> n >> i;) {
            inode[n] = "socket:[" + i + "]";
            inode_of[n] = std::stoull(i);
        }
        add_process("100", "client\n",
                    {{"3", inode["c4"]},
                     {"4", inode["c4b"]},
                     {"5", inode["c6"]},
                     {"6", inode["cm"]},
                     {"7", inode["u4c"]}});
        add_process("200", "server\n",
                    {{"3", inode["listen4"]},
                     {"4", inode["s4"]},
                     {"5", inode["s4b"]},
                     {"6", inode["s6"]},
                     {"7", inode["sm"]},
                     {"8", inode["u4"]}});
        for (const char *t : {"tcp", "tcp6", "udp", "udp6"})
            qt::write_file(proc / "net/" + t, data(t));
        const char *const dumps[AGENT_DIAG_DUMPS] = {"tcp", "udp", "udp6"};
        for (int d = 0; d < AGENT_DIAG_DUMPS; d++)
            fake.answers[d] = data(std::string(dumps[d]) + ".nl");
        fake.refuse = false;
    }
    std::map<std::string, uint64_t> inode_of;
    // The flow groups: key, values and remote address of each, sorted.
    std::vector<std::string> store() {
        std::vector<std::string> out;
        for (auto &[kb, f] : flows) {
            const struct kv_flow_key &k = f.fg->kmd_fg.kmdfg_key;
            const struct kv_record *r =
                kv_metadata_values(kvmd_is_active(f.fg) ? f.fg : f.fg->kmd_twin);
            char buf[200];
            snprintf(buf, sizeof(buf),
                     "%u/%u %08x:%u %08x:%u app %08x pid %lu st %u q %u:%u i %lu %s", k.fk_proto,
                     k.fk_spare[0], k.fk_src, ntohs(k.fk_sport), k.fk_dst, ntohs(k.fk_dport),
                     k.fk_appid, static_cast<unsigned long>(k.fk_pid), r[0].kr_value.u32,
                     r[1].kr_value.u32, r[2].kr_value.u32,
                     static_cast<unsigned long>(r[3].kr_value.u64), f.ip.c_str());
            out.push_back(buf);
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    std::vector<std::string> scan(uint64_t diag_tables) {
        agent_sockets_clear();
        EXPECT_EQ(agent_sockets_scan(proc.path().c_str()), 11);
        EXPECT_EQ(agent_sockets_stats_block()->ss_diag_tables, diag_tables);
        return store();
    }
};

TEST_F(RecordedHost, DiagnosticsAndTextTablesAgree) {
    const std::vector<std::string> diag = scan(4);
    // The kernel's TCP figures: c4 sent "hello", which s4 received.
    std::map<uint64_t, const kv_record *> values;
    for (auto &[kb, f] : flows) {
        const kv_record *r = kv_metadata_values(kvmd_is_active(f.fg) ? f.fg : f.fg->kmd_twin);
        values[r[FV_INODE].kr_value.u64] = r;
    }
    EXPECT_EQ(values[inode_of["c4"]][FV_BYTES_ACKED].kr_value.u64, 5u);
    EXPECT_EQ(values[inode_of["s4"]][FV_BYTES_RECEIVED].kr_value.u64, 5u);
    EXPECT_GT(values[inode_of["s4"]][FV_RTT].kr_value.u32, 0u);
    // UDP as sockets and queued bytes: the server's u4 holds the client's byte.
    ASSERT_NE(agent_apps_find("server"), nullptr);
    EXPECT_EQ(agent_apps_find("server")->aap_gauge[AA_UDP_SOCKETS], 1u);
    EXPECT_EQ(agent_apps_find("server")->aap_gauge[AA_UDP_RX_QUEUE], 832u);
    fake.refuse = true;
    EXPECT_EQ(scan(0), diag);
    // Every kind of socket came through with its owner, state and queues.
    const std::string all = ::testing::PrintToString(diag);
    const std::string server = " app " + [] {
        char b[9];
        snprintf(b, sizeof(b), "%08x", agent_sockets_appid("server"));
        return std::string(b);
    }() + " pid 200 ";
    for (const char *want : {" st 1 q 0:5 ",                     // s4: five bytes unread
                             " st 5 q 0:0 ",                     // c4b: fin-wait-2
                             " st 8 q 0:1 ",                     // s4b: close-wait, the FIN unread
                             " st 7 q 0:832 ", "6/1 0100007f:",  // u4; sm, IPv4-mapped
                             " 127.0.0.1\"", " ::1\"", server.c_str(), " pid 0 "})
        EXPECT_NE(all.find(want), std::string::npos) << want << " in " << all;
    EXPECT_EQ(agent_sockets_stats_block()->ss_unowned, 1u);  // u6
}

TEST_F(RecordedHost, BrokenOrRefusedAnswersFallBackToTheirTextTable) {
    const std::vector<std::string> good = scan(4);
    const std::string tcp = fake.answers[AGENT_DIAG_TCP];
    auto put32 = [](std::string a, size_t at, uint32_t v) {
        memcpy(&a[at], &v, 4);
        return a;
    };
    auto put16 = [](std::string a, size_t at, uint16_t v) {
        memcpy(&a[at], &v, 2);
        return a;
    };
    const size_t first = NLMSG_ALIGN(reinterpret_cast<const nlmsghdr *>(tcp.data())->nlmsg_len);
    struct nlmsgerr refused = {-ENOENT, {}};
    const std::string error = std::string(reinterpret_cast<const char *>(&refused), 20);
    nlmsghdr eh = {36, NLMSG_ERROR, 0, 0, 0};
    const std::string error_msg = std::string(reinterpret_cast<const char *>(&eh), 16) + error;
    const std::string damaged[] = {
        tcp.substr(0, tcp.size() - 20),  // no end: the next read finds nothing
        tcp.substr(0, first + 40),       // a message cut short
        put32(tcp, 0, 8),                // a length below the header's
        put32(tcp, 0, 0x10000),          // a length beyond the datagram
        put32(tcp, 0, 16 + 60),          // an inet_diag message cut short
        put16(tcp, 16 + 72, 200),        // an attribute beyond its message
        put16(tcp, 16, 99),              // a family that is neither IPv4 nor IPv6
        put16(tcp, 4, NLMSG_OVERRUN),    // messages lost
        error_msg,                       // the kernel's error
        tcp.substr(0, first) + error_msg,
    };
    for (const std::string &d : damaged) {
        SCOPED_TRACE(&d - damaged);
        fake.answers[AGENT_DIAG_TCP] = d;
        EXPECT_EQ(scan(2), good);                // tcp and tcp6 from the text
        EXPECT_EQ(fake.opens, fake.closes + 1);  // closed after the failure, open again
    }
    fake.answers[AGENT_DIAG_TCP] = tcp;
    fake.sender = 4242;  // not the kernel
    EXPECT_EQ(scan(0), good);
}

// A host of made-up TCP connections, answered through the fake netlink
// socket with their tcp_info: "web" (pid 100) and "db" (pid 200).
struct tcp_conn {
    uint32_t inode;
    uint16_t sport, dport;
    uint64_t acked, received;
    uint32_t segs_out = 0, retrans = 0, rtt = 0;
    std::vector<uint8_t> dst = {127, 0, 0, 1};  // 4 or 16 bytes
    bool orphan = false;                        // closed by its owner: inode 0
};

struct FakeHost : AgentSockets {
    std::map<uint32_t, tcp_conn> conns;
    void SetUp() override {
        AgentSockets::SetUp();
        fake.refuse = false;
        add_process("100", "web\n", {});
        add_process("200", "db\n", {});
    }
    void own(const char *pid, uint32_t inode) {
        const std::string fd = proc / (std::string(pid) + "/fd/" + std::to_string(inode));
        ASSERT_EQ(symlink(("socket:[" + std::to_string(inode) + "]").c_str(), fd.c_str()), 0);
    }
    static std::string msg(uint16_t type, const std::string &body) {
        nlmsghdr h = {uint32_t(sizeof(h) + body.size()), type, 0, 0, 0};
        return std::string(reinterpret_cast<const char *>(&h), sizeof(h)) + body;
    }
    // One interval a second later, of what conns holds.
    void scan() {
        std::string tcp;
        for (auto &[inode, c] : conns) {
            inet_diag_msg m = {};
            m.idiag_family = c.dst.size() == 4 ? AF_INET : AF_INET6;
            m.idiag_state = 1;
            m.id.idiag_sport = htons(c.sport);
            m.id.idiag_dport = htons(c.dport);
            memcpy(m.id.idiag_src, c.dst.data(), c.dst.size());
            memcpy(m.id.idiag_dst, c.dst.data(), c.dst.size());
            m.idiag_inode = c.orphan ? 0 : inode;
            m.id.idiag_cookie[0] = inode;  // the kernel's own, which orphaning keeps
            tcp_info t = {};
            t.tcpi_bytes_acked = t.tcpi_bytes_sent = c.acked;
            t.tcpi_bytes_received = c.received;
            t.tcpi_segs_out = c.segs_out;
            t.tcpi_total_retrans = c.retrans;
            t.tcpi_rtt = c.rtt;
            rtattr a = {uint16_t(RTA_LENGTH(sizeof(t))), INET_DIAG_INFO};
            tcp += msg(SOCK_DIAG_BY_FAMILY,
                       std::string(reinterpret_cast<const char *>(&m), sizeof(m)) +
                           std::string(reinterpret_cast<const char *>(&a), sizeof(a)) +
                           std::string(reinterpret_cast<const char *>(&t), sizeof(t)));
        }
        const std::string done = msg(NLMSG_DONE, std::string(4, '\0'));
        fake.answers[AGENT_DIAG_TCP] = tcp + done;
        fake.answers[AGENT_DIAG_UDP] = fake.answers[AGENT_DIAG_UDP6] = done;
        ticks += 1000000;
        agent_sockets_interval(proc.path().c_str());
    }
    static const struct agent_app_pub &app(const char *name) {
        static const agent_app_pub none = {};
        const agent_app_pub *p = agent_apps_find(name);
        EXPECT_NE(p, nullptr) << name;
        return p != nullptr ? *p : none;
    }
};

TEST_F(FakeHost, CountersBecomeTheFiguresOfTheirApplication) {
    own("100", 1);
    own("100", 2);
    own("200", 3);
    conns[1] = {1, 40000, 80, 1000, 500, 0, 0, 200};
    conns[3] = {3, 40001, 5432, 50, 0, 0xfffffff0u};
    scan();  // the starting point: nothing counted
    EXPECT_EQ(app("web").aap_total[AA_TX_BYTES], 0u);
    EXPECT_EQ(agent_apps_count(), 2);
    conns[1].acked = 3000;
    conns[1].received = 900;
    conns[2] = {2, 40002, 80, 100, 10, 0, 0, 400};  // new: counted whole
    conns[3].segs_out = 0x10;                       // wrapped
    scan();
    EXPECT_EQ(app("web").aap_total[AA_TX_BYTES], 2000u + 100);
    EXPECT_EQ(app("web").aap_total[AA_RX_BYTES], 400u + 10);
    EXPECT_EQ(app("web").aap_total[AA_OPENED], 1u);
    EXPECT_EQ(app("web").aap_gauge[AA_CONNECTIONS], 2u);
    EXPECT_EQ(app("web").aap_rate[AA_TX_BPS].avg, 2100u);  // over the second since
    EXPECT_EQ(app("web").aap_rate[AA_RTT_US].avg, 300u);   // the mean of its connections
    EXPECT_EQ(app("db").aap_total[AA_TX_SEGS], 0x20u);
    // Names made safe for the tree, and unique.
    char n[AGENT_INST_NAME_MAX], web[16];
    snprintf(web, sizeof(web), "web-%08x", agent_sockets_appid("web"));
    for (auto [comm, want] : {std::pair<const char *, std::string>{"python3.11", "python3_11"},
                              {"\xc3\xa9 x", "___x"},
                              {"", "_"},
                              {"web", web}})
        EXPECT_EQ((agent_apps_name(comm, n, sizeof(n)), std::string(n)), want) << comm;
    // web closes 1 with data still to send: the orphaned socket (inode 0)
    // is still web's connection.  A socket never seen before as an orphan
    // is no one's.
    conns[1].orphan = true;
    conns[1].acked = 3500;
    conns[9] = {9, 40009, 80, 777, 0};
    conns[9].orphan = true;
    scan();
    EXPECT_EQ(app("web").aap_total[AA_TX_BYTES], 2600u);
    EXPECT_EQ(app("web").aap_gauge[AA_CONNECTIONS], 2u);
    conns.erase(9);
    // 1 goes: what it counted stays.  2's inode comes back as a new
    // connection with smaller counts: counted whole, never negative.
    conns.erase(1);
    conns[2] = {2, 40002, 80, 30, 7};
    scan();
    EXPECT_EQ(app("web").aap_total[AA_TX_BYTES], 2600u + 30);
    EXPECT_EQ(app("web").aap_total[AA_RX_BYTES], 410u + 7);
    EXPECT_EQ(app("web").aap_total[AA_OPENED], 2u);
    EXPECT_EQ(app("web").aap_gauge[AA_CONNECTIONS], 1u);
    // The flow group holds the socket's figures and their increase (none
    // since the last scan); so do both its copies once two cycles have run
    // without a change.
    conns[2].received = 8;
    for (int i = 0; i < 3; i++) {
        ticks = kvmd_store.next_update_time - 1000000;
        scan();
    }
    for (auto &[kb, f] : flows)
        for (struct kv_metadata *c : {f.fg, f.fg->kmd_twin}) {
            const struct kv_record *r = kv_metadata_values(c);
            if (r[FV_INODE].kr_value.u64 != 2) continue;
            EXPECT_EQ(r[FV_BYTES_ACKED].kr_value.u64, 30u);
            EXPECT_EQ(r[FV_BYTES_RECEIVED].kr_value.u64, 8u);
            EXPECT_EQ(r[FV_SCAN_BYTES_RECEIVED].kr_value.u64, 0u);
        }
}

TEST_F(FakeHost, ApplicationsComeAndGoAndTheBusiestAreShown) {
    const uint32_t kvms = kvm_stats.ks_alloced - kvm_stats.ks_freed;
    agent_apps_set_top(1);
    own("100", 1);
    own("200", 2);
    conns[1] = {1, 40000, 80, 0, 0};
    conns[2] = {2, 40001, 5432, 0, 0};
    scan();
    for (int i = 0; i < 3; i++) {
        conns[1].acked += 10000;
        conns[2].acked += 10;
        scan();
    }
    // db is hidden from walks, its figures since then in "other".
    EXPECT_FALSE(agent_apps_hidden("web"));
    EXPECT_TRUE(agent_apps_hidden("db"));
    EXPECT_EQ(app(AGENT_APPS_OTHER).aap_total[AA_TX_BYTES], 30u);
    // Walks show the busiest and "other".
    struct netctl_node *np = netctl_lookup(nullptr, "agent.apps.*", 12, 0);
    std::vector<std::string> walked;
    char data[NETCTL_NAME_MAX];
    netctl_walk_ctx ctx = {};
    ctx.nwc_path = reinterpret_cast<char *>(&walked);
    np->nctl_ops->nno_iterate(
        np, data,
        [](struct netctl_node *, void *d, netctl_walk_ctx *c) {
            reinterpret_cast<std::vector<std::string> *>(c->nwc_path)
                ->push_back(static_cast<char *>(d));
            return 0;
        },
        &ctx);
    EXPECT_EQ(walked, (std::vector<std::string>{".web", ".other"}));
    // db's socket closes: it stays for a window of scans, then goes with
    // its objects.
    conns.erase(2);
    for (int i = 0; i < AGENT_APPS_WINDOW - 1; i++)
        scan();
    EXPECT_NE(agent_apps_find("db"), nullptr);
    const std::string log = qt::echoed([&] { scan(); });
    EXPECT_NE(log.find("INFO agent_apps: application db removed"), std::string::npos) << log;
    EXPECT_EQ(agent_apps_find("db"), nullptr);
    EXPECT_EQ(agent_apps_count(), 1);
    agent_sockets_clear();
    EXPECT_EQ(kvm_stats.ks_alloced - kvm_stats.ks_freed, kvms);
}

TEST_F(FakeHost, IPv6PeersEachHaveAKeyOfTheirOwn) {
    // More peers than any fixed table would hold (their sockets have no
    // owner, which changes nothing here), and one IPv4-mapped peer, keyed as
    // its IPv4 address.
    constexpr int PEERS = 3000;
    for (uint32_t i = 1; i <= PEERS; i++) {
        tcp_conn c = {10 + i, uint16_t(i), 443, 0, 0};
        c.dst = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, uint8_t(i >> 8), uint8_t(i)};
        conns[c.inode] = c;
    }
    conns[1] = {1, 1, 443, 0, 0};
    conns[1].dst = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, 3};
    scan();
    std::set<uint32_t> dsts;
    for (auto &[kb, f] : flows)
        dsts.insert(f.fg->kmd_fg.kmdfg_key.fk_dst);
    EXPECT_EQ(dsts.size(), size_t(PEERS + 1));
    EXPECT_EQ(dsts.count(htonl(0x0a000003)), 1u);
    EXPECT_EQ(agent_sockets_stats_block()->ss_v6_ids,
              uint64_t(PEERS));  // source and destination alike
    EXPECT_EQ(agent_sockets_stats_block()->ss_ip_records, uint64_t(PEERS + 1));
    // Ids go with their flow groups.
    conns.clear();
    scan();
    EXPECT_EQ(agent_sockets_stats_block()->ss_v6_ids, 0u);
}

TEST_F(FakeHost, TheFileExportIsBoundedAndBeginsAgainWithTheLists) {
    auto interval = [&](uint32_t inode, uint16_t dport) {
        own("100", inode);
        conns[inode] = {inode, uint16_t(40000 + inode), dport, 0, 0};
        ticks = kvmd_store.next_update_time - 1000000;
        scan();
    };
    interval(1, 80);  // on: the lists
    const std::string file = logs / AGENT_SOCKETS_EXPORT_FILE;
    EXPECT_EQ(qt::split_lines(qt::read_file(file)).size(), 2u);
    // A new connection's cache record goes to the file after the next
    // cycle; at the bound the file is renamed and begun again.
    interval(2, 81);
    std::vector<std::string> lines = qt::split_lines(qt::read_file(file));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2].rfind("FGCC=appid:", 0), 0u) << lines[2];
    EXPECT_NE(lines[2].find("dport:81,"), std::string::npos) << lines[2];
    export_max = qt::file_size(file);
    interval(3, 82);
    EXPECT_EQ(qt::split_lines(qt::read_file(file + ".1")).size(), 3u);
    lines = qt::split_lines(qt::read_file(file));
    ASSERT_EQ(lines.size(), 3u);  // the record, then the lists again
    EXPECT_NE(lines[0].find("dport:82,"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1].rfind("LIST={[0:FGCC=", 0), 0u) << lines[1];
    // Switched off: no more writing; the files stay.
    agent_sockets_configure(1000, false, AGENT_SOCKETS_EXPORT_KB);
    scan();
    EXPECT_FALSE(kv_metadata_file_export_on());
    EXPECT_EQ(qt::split_lines(qt::read_file(file)).size(), 3u);
}

}  // namespace
