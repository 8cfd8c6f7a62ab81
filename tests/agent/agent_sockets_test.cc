// The agent's feed of the metadata store, driven from a fake proc tree:
// socket tables with owned, unowned, listening and closed sockets, a
// process whose descriptors cannot be read and one that vanished.
#include "../../src/agent/agent_sockets.cc"

#include <gtest/gtest.h>
#include <sys/stat.h>

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

}  // namespace
