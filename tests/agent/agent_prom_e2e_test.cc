// The agent's Prometheus textfile end to end: the agent writes its file
// into the configured directory, promtool accepts it, and a node exporter
// whose textfile collector reads that directory serves the agent's metrics.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include "packaging/shell.h"
#include "supervisor/netmon_harness.h"

namespace {

using ::testing::HasSubstr;

const std::string EXPORTER = "prometheus-node-exporter";

// A port on 127.0.0.1 that nothing listens on just now.
int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

// GET path from 127.0.0.1:port; the whole answer, or "" without one.
std::string http_get(int port, const std::string &path) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    struct timeval tv = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    std::string out;
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0) {
        std::string req = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (write(fd, req.data(), req.size()) == ssize_t(req.size())) {
            char buf[65536];
            ssize_t n;
            while ((n = read(fd, buf, sizeof(buf))) > 0)
                out.append(buf, size_t(n));
        }
    }
    close(fd);
    return out;
}

TEST(AgentPromE2E, TextfileForNodeExporter) {
    nh::Reaper reaper;
    nh::Root root;
    const std::string dir = root.dir("textfile"), file = dir + "/qorv-netagent.prom";
    mkdir(dir.c_str(), 0755);
    // A string value past the text area, of two-byte characters after a
    // byte that is not UTF-8: served cut between characters, the byte as
    // U+FFFD, in the file, the exporter's scrape and the tool's JSON.
    std::string ifaces;
    for (int i = 0; i < 40; i++)
        ifaces += "\xc3\xa9";
    const std::string served = "\xef\xbf\xbd" + ifaces.substr(0, 58) + "...";
    qt::write_file(root.dir("conf/qorv-netagent.conf"), "agent.prom_dir = " + dir +
                                                           "\nagent.prom_interval_s = 1\n"
                                                           "agent.ignore_ifaces = \xff" +
                                                           ifaces + "\n");
    // A program with both ends of a loopback connection: an application.
    pid_t peer = fork();
    if (peer == 0) {
        prctl(PR_SET_NAME, "qorv_prom_peer");
        int l = socket(AF_INET, SOCK_STREAM, 0), c = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        if (bind(l, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 || listen(l, 1) != 0 ||
            getsockname(l, reinterpret_cast<sockaddr *>(&a), &len) != 0 ||
            connect(c, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 ||
            accept(l, nullptr, nullptr) < 0)
            _exit(1);
        pause();
        _exit(0);
    }
    reaper.track(peer);
    pid_t agent = nh::start_agent(reaper, root);
    std::string text;
    ASSERT_TRUE(nh::wait_until(
        [&] {
            text = qt::read_file(file);
            return text.find("qorv_agent_proc_stats_uptime_seconds ") != std::string::npos &&
                   text.find("qorv_agent_apps_stats_connections{app=\"qorv_prom_peer\"} 2\n") !=
                       std::string::npos;
        },
        10000))
        << qt::read_file(root.dir("logs/qorv-netagent.log.0"));
    // Units in base units, kinds from the variables.
    EXPECT_THAT(text, HasSubstr("# TYPE qorv_agent_proc_stats_rss_bytes gauge\n"));
    EXPECT_THAT(text, HasSubstr("# TYPE qorv_agent_proc_stats_poll_passes_total counter\n"));
    // Interface totals are counters, one sample per interface (lo at least).
    EXPECT_THAT(text, HasSubstr("# TYPE qorv_agent_net_stats_rx_bytes_total counter\n"));
    EXPECT_THAT(text, HasSubstr("qorv_agent_net_stats_rx_bytes_total{interface=\"lo\"} "));
    EXPECT_THAT(text, HasSubstr("# TYPE qorv_agent_host_net_tx_packets_total counter\n"));
    // Applications are labelled; their round-trip time is in seconds.
    EXPECT_THAT(text, HasSubstr("qorv_agent_apps_stats_tx_bytes_total{app=\"qorv_prom_peer\"} "));
    EXPECT_THAT(text, HasSubstr("# TYPE qorv_agent_apps_stats_rtt_seconds gauge\n"));
    EXPECT_THAT(text, HasSubstr("\nqorv_agent_config_ignore_ifaces_info{value=\"" + served +
                                "\"} 1\n"));
    if (sh::have("iconv")) {
        auto r = sh::run(sh::q(nh::bin("qorv-netctl")) + " -r " + sh::q(root.dir("run")) +
                         " -j agent.config | iconv -f UTF-8 -t UTF-8");
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_THAT(r.out, HasSubstr("\"ignore_ifaces\": \"" + served + "\""));
    }
    // Only the finished file is there for the collector to read.
    EXPECT_EQ(qt::count_entries(dir), 1);
    if (sh::have("promtool")) {
        auto r = sh::run("promtool check metrics < " + sh::q(file));
        EXPECT_EQ(r.status, 0) << r.out;
    }

    if (!sh::have(EXPORTER)) {
        reaper.signal(agent, SIGTERM);
        GTEST_SKIP() << EXPORTER << " is not installed";
    }
    int port = free_port();
    ASSERT_GT(port, 0);
    std::vector<std::string> ex = {sh::line("command -v " + EXPORTER),
                                   "--web.listen-address=127.0.0.1:" + std::to_string(port),
                                   "--collector.disable-defaults", "--collector.textfile",
                                   "--collector.textfile.directory=" + dir};
    pid_t exporter = fork();
    if (exporter == 0) {
        int out = open(root.dir("exporter.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        nh::exec_args(ex);
    }
    reaper.track(exporter);
    std::string scraped;
    bool found = nh::wait_until(
        [&] {
            scraped = http_get(port, "/metrics");
            return scraped.find("\nqorv_agent_proc_stats_uptime_seconds ") != std::string::npos;
        },
        15000);
    EXPECT_TRUE(found) << scraped.substr(0, 2000) << qt::read_file(root.dir("exporter.out"));
    EXPECT_THAT(scraped, HasSubstr("node_textfile_scrape_error 0"));
    EXPECT_THAT(scraped, HasSubstr("qorv_agent_config_ignore_ifaces_info{value=\"" + served));
    reaper.signal(exporter, SIGTERM);
    reaper.signal(peer, SIGKILL);
    reaper.signal(agent, SIGTERM);
    int st = -1;
    EXPECT_TRUE(reaper.wait(agent, 10000, &st));
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    EXPECT_TRUE(reaper.wait(exporter, 10000));
}

}  // namespace
