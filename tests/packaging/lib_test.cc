// The core library as other trees get it: "cmake --install --component dev"
// into a temporary prefix, then copies of a consumer project and of the
// example agent built outside the source tree, against that prefix alone,
// with CMake (find_package) and with pkg-config.
#include <gmock/gmock.h>

#include <regex>

#include "packaging/shell.h"
#include "supervisor/netmon_harness.h"

namespace {

using ::testing::HasSubstr;

// The library installed into a fresh temporary prefix, and builds against it.
class Lib : public ::testing::Test {
  protected:
    void SetUp() override {
#ifdef QORV_SANITIZED
        GTEST_SKIP() << "the plain build checks the installed library";
#endif
        auto r = sh::run(std::string(QORV_CMAKE) + " --install " + sh::q(QORV_BUILD_DIR) +
                         " --component dev --prefix " + sh::q(prefix()));
        ASSERT_EQ(r.status, 0) << r.out;
    }
    std::string prefix() const {
        return tmp_ / "prefix";
    }
    // Commands run with pkg-config seeing the prefix and nothing else.
    std::string pkg_env() const {
        return "PKG_CONFIG_LIBDIR=" + sh::q(prefix() + "/" QORV_LIB_DIR "/pkgconfig") +
               " CXX=" + sh::q(QORV_CXX) + " ";
    }
    // Copies the project at src (relative to the source tree) to name/src
    // and builds it in name/build, with the prefix as the only hint.
    sh::result cmake_build(const std::string &src, const std::string &name) const {
        const std::string dir = tmp_ / name;
        return sh::run("mkdir -p " + sh::q(dir) + " && cp -r " + sh::q(QORV_SOURCE_DIR "/" + src) +
                       " " + sh::q(dir + "/src") + " && " + QORV_CMAKE + " -S " +
                       sh::q(dir + "/src") + " -B " + sh::q(dir + "/build") + " -G " +
                       sh::q(QORV_GENERATOR) + " -DCMAKE_CXX_COMPILER=" + sh::q(QORV_CXX) +
                       " -DCMAKE_PREFIX_PATH=" + sh::q(prefix()) +
                       " -DCMAKE_EXPORT_COMPILE_COMMANDS=ON && " + QORV_CMAKE + " --build " +
                       sh::q(dir + "/build") + " -j 2");
    }
    // The build found the package in the prefix and used nothing of this
    // source tree.
    void expect_prefix_only(const std::string &name) const {
        const std::string build = tmp_ / name + "/build";
        EXPECT_THAT(
            qt::read_file(build + "/CMakeCache.txt"),
            HasSubstr("QorvCore_DIR:PATH=" + prefix() + "/" QORV_LIB_DIR "/cmake/QorvCore"));
        const std::string commands = qt::read_file(build + "/compile_commands.json");
        EXPECT_NE(commands, "");
        EXPECT_EQ(commands.find(QORV_SOURCE_DIR), std::string::npos);
    }

    qt::TempDir tmp_;
};

// Every installed header compiles alone; a program built against the prefix,
// with CMake or with pkg-config, holds every module and sorts its start-up
// and shut-down sets, its own modules among the core's, exactly as the same
// program linked in this tree.
TEST_F(Lib, HeadersCompileAloneAndConsumersStartModulesInThisTreesOrder) {
    auto r = cmake_build("tests/consumer", "consumer");
    ASSERT_EQ(r.status, 0) << r.out;
    expect_prefix_only("consumer");
    const std::string in_tree = sh::run(QORV_BIN_DIR "/lib_startup_order").out;
    for (const char *m :
         {"init placeholder ", "init kvc_mod ", "init own_kv_mod ", "fini netctl_mod "})
        EXPECT_THAT(in_tree, HasSubstr(m));
    EXPECT_EQ(sh::run(tmp_ / "consumer/build/startup_order").out, in_tree);

    const std::string dir = tmp_ / "consumer";
    r = sh::run("cd " + sh::q(dir) + " && " + pkg_env() +
                "sh -c '$CXX -std=c++20 -o order-pc $(pkg-config --cflags --libs qorv-core) "
                "src/startup_order.cc'");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(sh::run(dir + "/order-pc").out, in_tree);
}

// The example, built both ways, runs as the supervisor's agent: its
// statistic reads through qorv-netctl, its moving average runs, and SIGTERM
// to the supervisor stops it cleanly.
TEST_F(Lib, ExampleAgentBuiltBothWaysRunsUnderTheSupervisor) {
    auto r = cmake_build("examples/hello-agent", "hello");
    ASSERT_EQ(r.status, 0) << r.out;
    expect_prefix_only("hello");
    const std::string pc = tmp_ / "hello-pc";
    r = sh::run("mkdir -p " + sh::q(pc) + " && cd " + sh::q(pc) + " && " + pkg_env() +
                sh::q(tmp_ / "hello/src/build-with-pkg-config.sh"));
    ASSERT_EQ(r.status, 0) << r.out;

    nh::Reaper reaper;
    for (const std::string &agent : {tmp_ / "hello/build/hello-agent", pc + "/hello-agent"}) {
        SCOPED_TRACE(agent);
        nh::Root root;
        ASSERT_EQ(sh::run("cp " + sh::q(agent) + " " + sh::q(root.dir("bin/qorv-netagent"))).status,
                  0);
        nh::Netmon nm(reaper, root);
        nm.run({"-r", root.root()});
        ASSERT_EQ(nm.first_status, 0) << nm.out << nm.err;
        const std::string tool = sh::q(nh::bin("qorv-netctl")) + " -r " + sh::q(root.dir("run"));
        const std::regex running(
            "hello.stats.beats = [1-9][0-9]*\n"
            "hello.stats.avg_milli = [1-9][0-9]*\n"
            "hello.stats.events = [0-9]+\n");
        EXPECT_TRUE(nh::wait_until(
            [&] { return std::regex_match((r = sh::run(tool + " hello.stats")).out, running); },
            10000))
            << r.out;

        pid_t pid = nm.first_agent();
        ASSERT_EQ(kill(nm.daemon, SIGTERM), 0);
        EXPECT_EQ(nm.wait_exit(), 0);
        EXPECT_EQ(nm.unclean_end({pid}), "");
        auto msgs = nh::messages(qt::read_file(root.dir("logs/qorv-netagent.log.0")));
        long stop = nh::index_of(
            msgs, "INFO hello-agent (" + std::to_string(pid) + ") stopping on signal 15");
        EXPECT_GE(stop, 0);
        EXPECT_GT(nh::index_of(msgs, "INFO Netctl module destroyed"), stop);
    }
}

}  // namespace
