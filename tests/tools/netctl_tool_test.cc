// qorv-netctl end to end: the built tool against the server of this test
// process.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/netctl/sock_fixture.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace sockt;

struct result {
    int status = -1;  // exit status, -1 when it did not exit
    std::string out, err;
    std::vector<std::string> lines() const { return qt::split_lines(out); }
};

result run_tool(const std::vector<std::string> &args) {
    qt::TempDir dir;
    std::vector<char *> argv;
    std::string prog = std::string(QORV_BIN_DIR) + "/qorv-netctl";
    argv.push_back(prog.data());
    std::vector<std::string> copy = args;
    for (auto &a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string out = dir / "out", err = dir / "err";
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644), STDOUT_FILENO);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644), STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    result r;
    int st;
    waitpid(pid, &st, 0);
    if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
    r.out = qt::read_file(out);
    r.err = qt::read_file(err);
    return r;
}

class NetctlTool : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        register_test_tree();
        srv = new server;
        srv->start();
    }
    static void TearDownTestSuite() {
        srv->stop();
        delete srv;
    }
    static result tool(std::vector<std::string> args) {
        args.insert(args.begin(), {"-s", srv->sock});
        return run_tool(args);
    }
    static server *srv;
};
server *NetctlTool::srv;

const std::vector<std::string> test_stats = {
    "core.test.stats.hits = 42",        "core.test.stats.small = 65535",
    "core.test.stats.letter = Q",       "core.test.stats.bytes = 1099511627776",
    "core.test.stats.label = <string>", "core.test.stats.addrs = <ipv4 list>",
    "core.test.stats.nothing = "};

TEST_F(NetctlTool, PrintsAVariableOrEveryVariableBelowANode) {
    auto r = tool({"core.test.stats.hits"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "core.test.stats.hits = 42\n");

    // A leaf, by -r with and without the trailing '/'.
    for (const std::string &dir : {srv->rundir, srv->rundir + "/"}) {
        r = run_tool({"-r", dir, "core.test.stats"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.lines(), test_stats);
    }

    // A node without a leaf: every variable below it, and only those.
    r = tool({"core"});
    EXPECT_EQ(r.status, 0) << r.err;
    auto lines = r.lines();
    EXPECT_EQ(lines.size(), size_t(8 + 2 * TVARS));
    for (const auto &l : lines)
        EXPECT_EQ(l.compare(0, 5, "core."), 0) << l;
    EXPECT_THAT(lines, ::testing::Contains("core.test.stats.sub.letter = x"));

    // The whole tree.
    r = tool({});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("\ncore.nmem.stats.allocs = "));
    EXPECT_THAT(r.out, HasSubstr("\nbig.b9.v145 = 9145\n"));
}

TEST_F(NetctlTool, ListsNamesOneLevelDown) {
    auto r = tool({"-n", "core"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.lines(), ElementsAre("core.nmem.stats", "core.test.stats", "core.elem"));

    // The level that holds a node.
    r = tool({"-n", "-p", "core.test.stats"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.lines(), ElementsAre("core.nmem.stats", "core.test.stats", "core.elem"));

    // Below a leaf: its variables.
    r = tool({"-n", "core.test.stats"});
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.lines().size(), size_t(TVARS));
    EXPECT_EQ(r.lines()[0], "core.test.stats.hits");

    r = tool({"-n"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.lines(), ::testing::IsSupersetOf({"core", "big"}));
}

TEST_F(NetctlTool, PrintsJson) {
    auto r = tool({"-j", "core.test.stats.small"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\n  \"core.test.stats.small\": 65535\n}\n");

    r = tool({"-j", "core.test.stats"});
    EXPECT_EQ(r.out,
              "{\n"
              "  \"core.test.stats.hits\": 42,\n"
              "  \"core.test.stats.small\": 65535,\n"
              "  \"core.test.stats.letter\": \"Q\",\n"
              "  \"core.test.stats.bytes\": 1099511627776,\n"
              "  \"core.test.stats.label\": \"<string>\",\n"
              "  \"core.test.stats.addrs\": \"<ipv4 list>\",\n"
              "  \"core.test.stats.nothing\": null\n"
              "}\n");

    r = tool({"-j", "-n", "core"});
    EXPECT_EQ(r.out, "[\n  \"core.nmem.stats\",\n  \"core.test.stats\",\n  \"core.elem\"\n]\n");
}

TEST_F(NetctlTool, FailuresHaveTheirOwnStatus) {
    // Unknown names, also where the server answers for a node above them.
    for (const char *name : {"nosuch", "core.bogus", "core.test.stats.bogus", "cor"}) {
        auto r = tool({name});
        EXPECT_EQ(r.status, 3) << name << ": " << r.out;
        EXPECT_EQ(r.out, "");
        EXPECT_THAT(r.err, HasSubstr(std::string("no answer for ") + name));
    }

    auto r = run_tool({"-s", "/nonexistent/qorv-netctl.sock", "core"});
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, HasSubstr("/nonexistent/qorv-netctl.sock: No such file or directory"));
    r = run_tool({"-r", "/nonexistent", "core"});
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, HasSubstr("/nonexistent/qorv-netctl.sock"));

    for (std::vector<std::string> bad : {std::vector<std::string>{"-x"},
                                         {"-s"},
                                         {"-s", "a", "-r", "b"},
                                         {"a", "b"},
                                         {std::string(130, 'n')}}) {
        r = run_tool(bad);
        EXPECT_EQ(r.status, 1) << bad[0];
        EXPECT_THAT(r.err, HasSubstr("usage: qorv-netctl"));
    }
    r = run_tool({"-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_THAT(r.out,
                HasSubstr("usage: qorv-netctl [-s SOCKET | -r RUNDIR] [-n] [-p] [-j] [NAME]"));
}

}  // namespace
