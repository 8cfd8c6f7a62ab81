// qorv-netctl end to end: the built tool against the server of this test
// process.
#include <gmock/gmock.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "core/child.h"
#include "core/netctl/sock_fixture.h"

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
