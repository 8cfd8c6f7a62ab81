// qorv-netctl end to end: the built tool against the server of this test
// process.
#include <gmock/gmock.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <regex>
#include <thread>

#include "core/child.h"
#include "core/netctl/sock_fixture.h"
#include "packaging/shell.h"

namespace {

using ::testing::HasSubstr;
using namespace sockt;

// A socket file that nothing listens on, like one left by an agent that
// has gone.
struct refused_socket {
    qt::TempDir dir;
    std::string path = dir / "left.sock";
    refused_socket() {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        struct sockaddr_un a {};
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof(a.sun_path), "%s", path.c_str());
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
        close(fd);
    }
};

qt::child_result run_tool(std::vector<std::string> args) {
    std::string prog = QORV_BIN_DIR "/qorv-netctl";
    std::vector<char *> argv = {prog.data()};
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return qt::run_child([&] {
        execv(argv[0], argv.data());
        _exit(127);
    });
}

TEST(NetctlTool, AnswersAndStatuses) {
    register_test_tree();
    server srv;
    srv.start();
    const std::string S = srv.sock, all_test_stats =
                                        "core.test.stats.hits = 42\n"
                                        "core.test.stats.small = 65535\n"
                                        "core.test.stats.letter = Q\n"
                                        "core.test.stats.bytes = 1099511627776\n"
                                        "core.test.stats.label = " +
                                        tlabel.substr(0, 60) +
                                        "...\n"
                                        "core.test.stats.addrs = 10.0.0.1,192.168.1.2\n"
                                        "core.test.stats.nothing = \n";
    // Names one dotted component down, not the server's joined labels.
    const std::string core_names = "core.nmem\ncore.test\ncore.elem\n";
    refused_socket refused;
    struct {
        std::vector<std::string> args;
        int status;
        std::string out;  // the whole of standard output, unless empty
        std::string has;  // in standard output, or for a failure standard error
    } cases[] = {
        {{"-s", S, "core.test.stats.hits"}, 0, "core.test.stats.hits = 42\n", ""},
        {{"-r", srv.rundir + "/", "core.test.stats"}, 0, all_test_stats, ""},
        {{"-s", S, "core"}, 0, "", "\ncore.test.stats.sub.letter = x\n"},
        {{"-s", S}, 0, "", "\nbig.b9.v145 = 9145\n"},
        {{"-s", S, "-n", "core"}, 0, core_names, ""},
        {{"-s", S, "-n", "-p", "core.test.stats.hits"},
         0,
         "",
         "core.test.stats.sub\ncore.test.stats.hits\n"},
        {{"-s", S, "-n", "core.test.stats"},
         0,
         "",
         "core.test.stats.hits\ncore.test.stats.small\n"},
        {{"-s", S, "-n"}, 0, "", "core\nbig\n"},
        {{"-s", S, "-j", "core.test.stats.small"},
         0,
         "{\n  \"core.test.stats\": {\n    \"small\": 65535\n  }\n}\n",
         ""},
        {{"-s", S, "-j", "-n", "core"},
         0,
         "[\n  \"core.nmem\",\n  \"core.test\",\n  \"core.elem\"\n]\n",
         ""},
        {{"-s", S, "-j", "core.test.stats"},
         0,
         "",
         "{\n  \"core.test.stats\": {\n    \"hits\": 42,\n    \"small\": 65535,\n    \"letter\": "
         "\"Q\",\n"
         "    \"bytes\": 1099511627776,\n    \"label\": \"" +
             tlabel.substr(0, 60) +
             "...\",\n"
             "    \"addrs\": \"10.0.0.1,192.168.1.2\",\n    \"nothing\": null\n  }\n}\n"},
        // Names the server resolves only to a node above them are unknown.
        {{"-s", S, "nosuch"}, 3, "", "no answer for nosuch"},
        {{"-s", S, "core.bogus"}, 3, "", "no answer for core.bogus\n"},
        {{"-s", S, "core.test.stats.hitz"},
         3,
         "",
         "no answer for core.test.stats.hitz; nearest names: core.test.stats.hits\n"},
        {{"-s", S, "-n", "core.tset"}, 3, "", "nearest names: core.test\n"},
        {{"-s", refused.path}, 2, "", "Connection refused (the socket file is left from"},
        {{"-s", S, "-w", "0"}, 1, "", "-w needs seconds"},
        {{"-s", S, "--prometheus", "core"}, 1, "", "--prometheus prints everything"},
        {{"-s", "/nonexistent/x.sock"}, 2, "", "/nonexistent/x.sock: No such file or directory"},
        {{"-x"}, 1, "", "usage: qorv-netctl"},
        {{"-s", "a", "-r", "b"}, 1, "", "usage: qorv-netctl"},
        {{std::string(130, 'n')}, 1, "", "usage: qorv-netctl"},
        {{"-h"}, 0, "", "usage: qorv-netctl [-s SOCKET | -r RUNDIR] [-n] [-p] [-j] [NAME]\n"},
    };
    for (const auto &c : cases) {
        std::string what;
        for (const auto &a : c.args)
            what += a.substr(0, 40) + " ";
        auto r = run_tool(c.args);
        EXPECT_TRUE(r.exited(c.status)) << what << "\n" << r.err;
        EXPECT_THAT(c.status == 0 ? r.out : r.err, HasSubstr(c.has)) << what;
        if (!c.out.empty() || c.status != 0) {
            EXPECT_EQ(r.out, c.out) << what;  // a failure prints nothing there
        }
    }
    srv.stop();
}

}  // namespace

namespace {

// Table "tbl.*" with instances eth0 and lo, each a block of a counter and
// a gauge below it as "tbl.*.stats".
struct tb_block {
    uint64_t rx;
    uint32_t up;
};
struct tinst {
    const char *name;
    tb_block b;
} tinsts[] = {{"eth0", {5, 1}}, {"lo", {6, 0}}};
struct kv_var tb_vars[] = {{"rx", KV_T_U64 | KV_K_COUNTER, 0, 8, 0, 0, offsetof(tb_block, rx)},
                           {"up", KV_T_U32, 0, 4, 0, 0, offsetof(tb_block, up)}};
struct kv_head tb_head = {"tbhead", 0, 0, 2, {}, 0, nullptr, tb_vars, nullptr, nullptr, {}};

int tb_parse(struct netctl_node *, const char *name, int len, void **instance) {
    for (auto &i : tinsts) {
        int n = int(strlen(i.name));
        if (len > n && name[0] == '.' && !memcmp(name + 1, i.name, size_t(n)) &&
            (len == n + 1 || name[n + 1] == '.')) {
            *instance = &i;
            return n + 1;
        }
    }
    return 0;
}
int tb_list(struct netctl_node *np, void *data, netctl_walk_fn cb, struct netctl_req *req, void *) {
    for (auto &i : tinsts) {
        snprintf(static_cast<char *>(data), NETCTL_NAME_MAX, "%s", i.name);
        if (cb(np, data, req, &i) == -1) return -1;
    }
    return 0;
}
int tb_iterate(struct netctl_node *np, void *data, netctl_visit_fn visit,
               struct netctl_walk_ctx *ctx) {
    for (auto &i : tinsts) {
        snprintf(static_cast<char *>(data), NETCTL_NAME_MAX, ".%s", i.name);
        ctx->nwc_instance = &i;
        if (visit(np, data, ctx) == -1) return -1;
    }
    return 0;
}
const struct netctl_node_ops tb_ops = {tb_parse, tb_list, tb_iterate, nullptr};

// --prometheus: every variable, table instances as labels, and the whole
// text accepted by promtool.
TEST(NetctlTool, Prometheus) {
    register_test_tree();
    ASSERT_EQ(kv_register(&tb_head), 0);
    ASSERT_EQ(netctl_register_node("tbl.*", &tb_ops), 0);
    ASSERT_EQ(netctl_register_vars("tbl.*.stats", &tb_head, nullptr, offsetof(tinst, b), nullptr),
              0);
    server srv;
    srv.start();
    auto r = run_tool({"-s", srv.sock, "--prometheus"});
    EXPECT_TRUE(r.exited(0)) << r.err;
    EXPECT_THAT(r.out, HasSubstr("# TYPE qorv_tbl_stats_rx_total counter\n"
                                 "qorv_tbl_stats_rx_total{tbl=\"eth0\"} 5\n"
                                 "qorv_tbl_stats_rx_total{tbl=\"lo\"} 6\n"
                                 "# HELP qorv_tbl_stats_up tbl.*.stats.up\n"
                                 "# TYPE qorv_tbl_stats_up gauge\n"
                                 "qorv_tbl_stats_up{tbl=\"eth0\"} 1\n"));
    EXPECT_THAT(r.out, HasSubstr("\nqorv_core_test_stats_hits 42\n"));
    EXPECT_THAT(r.out,
                HasSubstr("\nqorv_core_test_stats_addrs_info{value=\"10.0.0.1,192.168.1.2\"} 1\n"));
    if (sh::have("promtool")) {
        qt::TempDir tmp;
        qt::write_file(tmp / "m", r.out);
        auto p = sh::run("promtool check metrics < " + sh::q(tmp / "m"));
        EXPECT_EQ(p.status, 0) << p.out;
    }
    srv.stop();
}

// -w: rates beside the values; on a terminal a table with grouped digits
// and sparklines, until Ctrl-C.
TEST(NetctlTool, Watch) {
    register_test_tree();
    server srv;
    srv.start();
    // The counter moves for as long as the tool runs.
    auto bump = [](pid_t pid) {
        siginfo_t si{};
        for (int i = 0; i < 2000; i++) {
            si.si_pid = 0;
            if (waitid(P_PID, id_t(pid), &si, WEXITED | WNOHANG | WNOWAIT) != 0 || si.si_pid != 0)
                break;
            __atomic_add_fetch(&tblock.hits, 10, __ATOMIC_RELAXED);
            usleep(2000);
        }
    };
    auto r = qt::run_child(
        [&] {
            std::string p = QORV_BIN_DIR "/qorv-netctl";
            execl(p.c_str(), p.c_str(), "-s", srv.sock.c_str(), "-w", "0.05", "-c", "3",
                  "core.test.stats", nullptr);
            _exit(127);
        },
        10000, bump);
    EXPECT_TRUE(r.exited(0)) << r.err;
    auto rounds = qt::count_of(r.out, "core.test.stats.hits = ");
    EXPECT_EQ(rounds, 3u) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("hits = [0-9]+  \\+[1-9][0-9]*\\.[0-9]/s\n")))
        << r.out;
    EXPECT_THAT(r.out, HasSubstr("core.test.stats.small = 65535  +0.0/s\n"));

    // On a terminal, until SIGINT.
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        std::string p = QORV_BIN_DIR "/qorv-netctl";
        execl(p.c_str(), p.c_str(), "-s", srv.sock.c_str(), "-w", "0.05", "core.test.stats",
              nullptr);
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    std::string screen;
    char buf[4096];
    for (int i = 0; i < 500 && qt::count_of(screen, "\033[H") < 4; i++) {
        struct pollfd pf = {master, POLLIN, 0};
        if (poll(&pf, 1, 20) > 0) {
            ssize_t n = read(master, buf, sizeof(buf));
            if (n <= 0) break;
            screen.append(buf, size_t(n));
        }
    }
    kill(pid, SIGINT);
    int st = -1;
    for (int i = 0; i < 500 && waitpid(pid, &st, WNOHANG) == 0; i++)
        usleep(10000);
    close(master);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    EXPECT_THAT(screen, HasSubstr("1,099,511,627,776"));
    EXPECT_THAT(screen, HasSubstr("NAME"));
    EXPECT_THAT(screen, HasSubstr("\u2581\u2581\u2581"));  // a steady gauge
    srv.stop();
}

// An agent that closes the connection without a word.
TEST(NetctlTool, AgentClosesWithoutAnswering) {
    qt::TempDir dir;
    std::string path = dir / "mute.sock";
    int fd = netctl_listen(path.c_str());
    ASSERT_GE(fd, 0);
    std::thread mute([fd] {
        for (int i = 0; i < 2; i++) {
            int c = accept(fd, nullptr, nullptr);
            if (c >= 0) close(c);
        }
    });
    auto r = run_tool({"-s", path});
    shutdown(fd, SHUT_RDWR);
    mute.join();
    close(fd);
    EXPECT_TRUE(r.exited(2)) << r.err;
    EXPECT_THAT(r.err, HasSubstr("the agent closed the connection without answering"));
}

}  // namespace
