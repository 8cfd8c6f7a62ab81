// The agent's network monitor, driven from a fake interface table and a
// driven clock.
#include "agent/agent_net.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/kern_timeout.h"
#include "core/kv_metrics.h"
#include "core/kv_stats.h"
#include "core/netctl/netctl_sock.h"
#include "core/netctl/netctl_vars.h"
#include "core/nmem.h"
#include "core/timestamp.h"
#include "support/test_support.h"

namespace {

struct counters {
    uint64_t rx_bytes, rx_packets, tx_bytes, tx_packets;
};

qt::TempDir dir;
const std::string table = dir / "dev";

// The fake host: each interface's counters and what they gain per second.
// The table is rewritten every 62.5 ms, so traffic flows evenly.
std::vector<std::string> order;  // lines in this order
std::map<std::string, counters> ifs, per_second;
bool writing = true;

// Numbers have a fixed width, so the file is rewritten in place at the
// same length: replacing or truncating it every 62.5 ms would make some
// file systems flush it to disk each time.
void write_table() {
    std::string t =
        "Inter-|   Receive                                                |  Transmit\n"
        " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets "
        "errs drop fifo colls carrier compressed\n";
    char line[512];
    for (auto &name : order) {
        const counters &c = ifs[name];
        snprintf(line, sizeof(line), "%8s: %20lu %20lu 1 2 0 0 0 0 %20lu %20lu 3 4 0 0 0 0\n",
                 name.c_str(), c.rx_bytes, c.rx_packets, c.tx_bytes, c.tx_packets);
        t += line;
    }
    t += "broken: 1 2 3\n";  // too few numbers: skipped
    int fd = open(table.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, t.data(), t.size(), 0), ssize_t(t.size()));
    ASSERT_EQ(ftruncate(fd, off_t(t.size())), 0);
    close(fd);
}

// Moves the driven clock on by whole seconds, running the callout wheel
// (and through it the agent's read and the statistics wheels) as it goes.
void seconds(int n) {
    for (uint64_t end = ticks + uint64_t(n) * 1000000; ticks < end; softclock()) {
        ticks += 62500;
        for (auto &[name, r] : per_second) {
            counters &c = ifs[name];
            c.rx_bytes += r.rx_bytes / 16;
            c.rx_packets += r.rx_packets / 16;
            c.tx_bytes += r.tx_bytes / 16;
            c.tx_packets += r.tx_packets / 16;
        }
        if (writing) write_table();
    }
}

// Runs one control request in process; returns each response's name and
// body.
std::vector<std::pair<std::string, std::string>> request(const std::string &name, uint8_t op,
                                                         uint8_t flags = 0) {
    static std::vector<std::pair<std::string, std::string>> out;
    out.clear();
    auto req = std::make_unique<struct netctl_req>();
    req->nr_op = op;
    req->nr_flags = flags;
    req->nr_name = name.c_str();
    req->nr_respond = [](struct netctl_req *r) {
        out.emplace_back(r->nr_name, std::string(r->nr_data, r->nr_len));
        return 0;
    };
    netctl_process_request(req.get());
    return out;
}

std::vector<std::string> listed() {
    std::vector<std::string> names;
    for (auto &[n, body] : request("agent.net", NETCTL_OP_LIST, NETCTL_F_NAMES))
        names.push_back(body.c_str());
    return names;
}

uint64_t read_u64(const std::string &name) {
    auto r = request(name, NETCTL_OP_READ);
    if (r.size() != 1 || r[0].second.size() != KV_RECORD_SIZE) return ~uint64_t{0};
    struct kv_record rec;
    memcpy(&rec, r[0].second.data(), sizeof(rec));
    return rec.kr_value.u64;
}

struct AgentNet : ::testing::Test {
    static void SetUpTestSuite() {
        ticks = 1000000;
        softclock_init(nullptr);
        kv_mod_init(nullptr);
        kv_stats_mod_init(nullptr);
        kv_metrics_mod_init(nullptr);
    }
};

TEST_F(AgentNet, InterfacesArePublishedCountedAndRemovedCleanly) {
    const uint64_t before = nmem_stats.ns_alloced_objs;
    const struct kvm_stats km = kvm_stats;
    order = {"eth0", "lo", "eth0.100"};
    ifs = {{"eth0", {0, 0, 0, 0}}, {"lo", {50, 5, 50, 5}}, {"eth0.100", {0, 0, 7, 1}}};
    per_second = {{"eth0", {1600, 16, 320, 0}}};
    write_table();
    ASSERT_EQ(agent_net_start(table.c_str()), 0);
    EXPECT_EQ(agent_net_count(), 3);
    seconds(70);
    const struct agent_net_pub *p = agent_net_find("eth0");
    ASSERT_NE(p, nullptr);
    // Totals since the start, up to the last sample (at most 1.0625 s ago).
    EXPECT_LE(p->anp_total[AN_RX_BYTES], 70u * 1600);
    EXPECT_GE(p->anp_total[AN_RX_BYTES], 68u * 1600);
    EXPECT_EQ(p->anp_total[AN_RX_BYTES] / 100, p->anp_total[AN_RX_PACKETS]);
    EXPECT_EQ(p->anp_total[AN_RX_ERRS], 0u);  // constant counters add nothing
    const auto &rx = p->anp_rate[AN_RX_BPS];
    EXPECT_EQ((std::vector<uint64_t>{rx.avg, rx.ema, rx.min, rx.max, rx.sdev}),
              (std::vector<uint64_t>{1600, 1600, 1600, 1600, 0}));
    EXPECT_EQ(p->anp_rate[AN_RX_PPS].avg + p->anp_rate[AN_TX_BPS].avg, 16u + 320u);
    // The host-wide totals: every interval the interfaces' kvs rolled up
    // and the host's own kvs took in at its ticks.
    const uint64_t host = agent_net_host_totals()[AN_RX_BYTES];
    EXPECT_LE(host, p->anp_total[AN_RX_BYTES]);
    EXPECT_GE(host, p->anp_total[AN_RX_BYTES] - 3 * 1700);

    // Through the control tree: a names listing and reads by instance.
    EXPECT_EQ(listed(), (std::vector<std::string>{"eth0", "lo", "eth0.100"}));
    EXPECT_EQ(read_u64("agent.net.eth0.stats.rx_bytes"), p->anp_total[AN_RX_BYTES]);
    EXPECT_EQ(read_u64("agent.net.eth0.stats.rx_bytes_s_max"), 1600u);
    EXPECT_EQ(read_u64("agent.net.eth0.100.stats.tx_bytes"), 0u);  // first read is the base
    EXPECT_EQ(read_u64("agent.host.net.rx_bytes"), host);
    auto all = request("agent.net.lo", NETCTL_OP_LIST);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_TRUE(all[0].first == "agent.net.lo.stats" && all[0].second.size() == 28 * KV_RECORD_SIZE);
    EXPECT_TRUE(request("agent.net.wlan9.stats.rx_bytes", NETCTL_OP_READ).empty());

    // A spike beyond three sigma: one WARN line naming what and where.
    ifs["eth0"].rx_bytes += 500000;
    std::string out = qt::echoed([] { seconds(3); });
    EXPECT_EQ(qt::split_lines(out).size(), 1u) << out;
    EXPECT_NE(out.find(" WARN agent_net: eth0 rx_bytes_s "), std::string::npos) << out;
    EXPECT_NE(out.find(" outside its three-sigma band 1600 .. 1600 (bound 1600)"),
              std::string::npos)
        << out;

    // lo vanishes, eth1 appears; then an ignored interface goes as if it
    // had vanished; then everything goes.
    order = {"eth0", "eth0.100", "eth1"};
    ifs["eth1"] = {1, 1, 1, 1};
    seconds(1);
    EXPECT_EQ(listed(), (std::vector<std::string>{"eth0", "eth0.100", "eth1"}));
    EXPECT_TRUE(request("agent.net.lo.stats.rx_bytes", NETCTL_OP_READ).empty());
    agent_net_ignore([](const char *name) { return strcmp(name, "eth0.100") == 0; });
    seconds(1);
    agent_net_ignore(nullptr);
    EXPECT_EQ(listed(), (std::vector<std::string>{"eth0", "eth1"}));
    order.clear();
    write_table();
    seconds(1);
    EXPECT_EQ(agent_net_count(), 0);
    EXPECT_TRUE(listed().empty());
    agent_net_stop();
    EXPECT_EQ(kvm_stats.ks_freed - km.ks_freed, 4u);
    // What stays is the control tree's names, made once.
    const uint64_t objs = nmem_stats.ns_alloced_objs;
    EXPECT_LE(objs - before, 8u);

    // Started again: a table that cannot be read is reported once, not
    // every second, its interfaces kept; stopped, nothing is left over.
    order = {"eth0", "lo"};
    write_table();
    ASSERT_EQ(agent_net_start(table.c_str()), 0);
    out = qt::echoed([] {
        writing = false;
        qt::remove_tree(table);
        seconds(3);
    });
    EXPECT_EQ(qt::split_lines(out).size(), 1u) << out;
    EXPECT_NE(out.find("ERROR agent_net_poll: " + table + ": No such file"), std::string::npos);
    EXPECT_EQ(agent_net_count(), 2);
    agent_net_stop();
    EXPECT_EQ(nmem_stats.ns_alloced_objs, objs);
}

}  // namespace
