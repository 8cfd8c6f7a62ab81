// The agent's feed of the metadata store, driven from a fake proc tree:
// socket tables with owned, unowned, listening and closed sockets, a
// process whose descriptors cannot be read and one that vanished.  The
// socket diagnostics are a fake netlink socket that plays answers recorded
// on a real host (data/, made by bench/sockets_bench --record) next to the
// /proc/net tables recorded with them.
#include "../../src/agent/agent_diag.cc"
#include "../../src/agent/agent_sockets.cc"

#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <sys/stat.h>

#include <map>
#include <sstream>

#include "core/kv_metadata_internal.h"
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
            ticks = 1000000;
            softclock_init(nullptr);
            kv_metadata_mod_init(nullptr);
            agent_sockets_start("/nonexistent");  // the file export and the statistics
            return true;
        }();
        (void)started;
        fake = fake_diag{};
        fake.refuse = true;
        agent_diag_sys = {fake_open, fake_send, fake_recv, fake_close};
        cfg.ac_logdir = const_cast<char *>(logs.path().c_str());
        agent_cfg = &cfg;
        mkdir((proc / "net").c_str(), 0755);
        // 123 "curl" owns 1000 and 1003; 456 has an unreadable fd directory;
        // 789 has gone between the directory read and its comm.
        add_process("123", "curl\n", {{"3", "socket:[1000]"}, {"4", "socket:[1003]"},
                                      {"5", "/dev/null"}, {"6", "socket:[1005]"}});
        mkdir((proc / "456").c_str(), 0755);
        qt::write_file(proc / "456/comm", "sshd\n");
        qt::write_file(proc / "456/fd", "");
        mkdir((proc / "789").c_str(), 0755);
        mkdir((proc / "self").c_str(), 0755);
    }
    void TearDown() override { agent_sockets_clear(); }

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
        qt::write_file(proc / "net/udp", std::string(TCP_HEAD) +
                                             line("0100000A:0035", "00000000:0000", "07", 1005));
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
    ASSERT_EQ(agent_sockets_parse_line(line("0100000A:9C40", "22D8B85D:01BB", "01", 77).c_str(),
                                       6, 0, &s),
              0);
    EXPECT_EQ(s.as_sport, 0x9C40);
    EXPECT_EQ(s.as_dport, 443);
    EXPECT_EQ(s.as_state, 1);
    EXPECT_EQ(s.as_txq, 2u);
    EXPECT_EQ(s.as_rxq, 3u);
    EXPECT_EQ(s.as_inode, 77u);
    EXPECT_EQ(addr_text(s.as_dst6, false), "93.184.216.34");
    for (const char *bad : {TCP_HEAD, "", "   0: 0100000A:9C40", "   0: 0100000A-9C40 22D8B85D:01BB",
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
    EXPECT_EQ(st->ss_unowned, 2u);  // 1002 has no owner, 1004's cannot be read
    EXPECT_EQ(st->ss_ip_records, 3u);  // 93.184.216.34, 10.0.0.3, 2001:db8::2
    EXPECT_EQ(count_ips(), 3u);
    const uint32_t curl = agent_sockets_appid("curl");
    struct kv_metadata *app = kv_metadata_app_find(curl, 123, 1);
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->kmd_app.kmda_ref_count, 6u);  // three flow groups of curl
    EXPECT_EQ(kvmd_stats.existing - base, 11u);

    // A second read changes nothing; the cycle publishes, the consumer sees
    // every flow group and writes the IP records to the file export.
    EXPECT_EQ(agent_sockets_scan(proc.path().c_str()), 5);
    EXPECT_EQ(st->ss_created, 5u);
    ticks = kvmd_store.next_update_time + 1;
    agent_sockets_interval(proc.path().c_str());
    EXPECT_EQ(st->ss_exported, 5u);
    std::string text = qt::read_file(logs / "qorv-netagent.metadata");
    EXPECT_NE(text.find(",ip:93.184.216.34,fqdn:\n"), std::string::npos) << text;
    EXPECT_NE(text.find(",ip:2001:db8::2,fqdn:\n"), std::string::npos) << text;
    EXPECT_EQ(qt::split_lines(text).size(), 3u);

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
        kv_metadata_store_update();
    }
    EXPECT_EQ(kvmd_stats.existing, base);
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
        qt::write_file(proc / "net/udp", std::string(TCP_HEAD) +
                                             line("0100000A:0035", "00000000:0000", "07", 1005) +
                                             more);
    };
    EXPECT_EQ(reads(), 3u);  // 123 owns 1000, 1003, 1005; 456 and 789 cannot be read
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
        for (std::string n, i; in >> n >> i;)
            inode[n] = "socket:[" + i + "]";
        add_process("100", "client\n", {{"3", inode["c4"]}, {"4", inode["c4b"]}, {"5", inode["c6"]},
                                        {"6", inode["cm"]}, {"7", inode["u4c"]}});
        add_process("200", "server\n",
                    {{"3", inode["listen4"]}, {"4", inode["s4"]}, {"5", inode["s4b"]},
                     {"6", inode["s6"]}, {"7", inode["sm"]}, {"8", inode["u4"]}});
        for (const char *t : {"tcp", "tcp6", "udp", "udp6"})
            qt::write_file(proc / "net/" + t, data(t));
        const char *const dumps[AGENT_DIAG_DUMPS] = {"tcp", "udp", "udp6"};
        for (int d = 0; d < AGENT_DIAG_DUMPS; d++)
            fake.answers[d] = data(std::string(dumps[d]) + ".nl");
        fake.refuse = false;
    }
    // The flow groups: key, values and remote address of each, sorted.
    std::vector<std::string> store() {
        std::vector<std::string> out;
        for (auto &[kb, f] : flows) {
            const struct kv_flow_key &k = f.fg->kmd_fg.kmdfg_key;
            const struct kv_record *r =
                kv_metadata_values(kvmd_is_active(f.fg) ? f.fg : f.fg->kmd_twin);
            char buf[200];
            snprintf(buf, sizeof(buf),
                     "%u/%u %08x:%u %08x:%u app %08x pid %lu st %u q %u:%u i %lu %s", k.fk_proto, k.fk_spare[0], k.fk_src, ntohs(k.fk_sport), k.fk_dst,
                     ntohs(k.fk_dport), k.fk_appid, static_cast<unsigned long>(k.fk_pid),
                     r[0].kr_value.u32, r[1].kr_value.u32, r[2].kr_value.u32,
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
    fake.refuse = true;
    EXPECT_EQ(scan(0), diag);
    // Every kind of socket came through with its owner, state and queues.
    const std::string all = ::testing::PrintToString(diag);
    const std::string server = " app " + [] {
        char b[9];
        snprintf(b, sizeof(b), "%08x", agent_sockets_appid("server"));
        return std::string(b);
    }() + " pid 200 ";
    for (const char *want : {" st 1 q 0:5 ",  // s4: five bytes unread
                             " st 5 q 0:0 ",  // c4b: fin-wait-2
                             " st 8 q 0:1 ",  // s4b: close-wait, the FIN unread
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
        EXPECT_EQ(scan(2), good);  // tcp and tcp6 from the text
        EXPECT_EQ(fake.opens, fake.closes + 1);  // closed after the failure, open again
    }
    fake.answers[AGENT_DIAG_TCP] = tcp;
    fake.sender = 4242;  // not the kernel
    EXPECT_EQ(scan(0), good);
}

}  // namespace
