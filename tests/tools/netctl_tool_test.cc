// qorv-netctl end to end: the built tool against the server of this test
// process.
#include <gmock/gmock.h>

#include "core/child.h"
#include "core/netctl/sock_fixture.h"

namespace {

using ::testing::HasSubstr;
using namespace sockt;

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
                                        "core.test.stats.label = " + tlabel.substr(0, 60) + "...\n"
                                        "core.test.stats.addrs = 10.0.0.1,192.168.1.2\n"
                                        "core.test.stats.nothing = \n";
    const std::string core_names = "core.nmem.stats\ncore.test.stats\ncore.elem\n";
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
        {{"-s", S, "-n", "-p", "core.test.stats"}, 0, core_names, ""},
        {{"-s", S, "-n", "core.test.stats"},
         0,
         "",
         "core.test.stats.hits\ncore.test.stats.small\n"},
        {{"-s", S, "-n"}, 0, "", "core\nbig\n"},
        {{"-s", S, "-j", "core.test.stats.small"},
         0,
         "{\n  \"core.test.stats.small\": 65535\n}\n",
         ""},
        {{"-s", S, "-j", "-n", "core"},
         0,
         "[\n  \"core.nmem.stats\",\n  \"core.test.stats\",\n  \"core.elem\"\n]\n",
         ""},
        {{"-s", S, "-j", "core.test.stats"},
         0,
         "",
         "\"core.test.stats.letter\": \"Q\",\n  \"core.test.stats.bytes\": 1099511627776,\n"
         "  \"core.test.stats.label\": \"" + tlabel.substr(0, 60) + "...\",\n"
         "  \"core.test.stats.addrs\": \"10.0.0.1,192.168.1.2\",\n  \"core.test.stats.nothing\": null\n}\n"},
        // Names the server resolves only to a node above them are unknown.
        {{"-s", S, "nosuch"}, 3, "", "no answer for nosuch"},
        {{"-s", S, "core.bogus"}, 3, "", "no answer for core.bogus"},
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
