// Options, derived paths and the agent's entry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "supervisor/npmd.h"

namespace {

struct OptsCase {
    const char *name;
    std::vector<std::string> args;
    const char *pidfile, *logfile, *homedir, *program, *agent_args;
    pid_t parent;  // -1: no parent check
};

class NpmdOpts : public ::testing::TestWithParam<OptsCase> {};

TEST_P(NpmdOpts, PathsAndAgentArguments) {
    const OptsCase &c = GetParam();
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "qorv-netmon");
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    npmd_conf conf;
    ASSERT_EQ(npmd_conf_init(&conf), 0);
    ASSERT_EQ(npmd_parse_opts(static_cast<int>(args.size()), argv.data(), &conf), 0);
    EXPECT_STREQ(conf.nc_pidfile, c.pidfile);
    EXPECT_STREQ(conf.nc_logfile, c.logfile);
    EXPECT_STREQ(conf.nc_homedir, c.homedir);
    EXPECT_EQ(conf.nc_check_parent, c.parent >= 0);
    EXPECT_EQ(conf.nc_parent_pid, c.parent >= 0 ? c.parent : 0);

    char argv0[] = "qorv-netagent";
    npm_proc agent = {"qorv-netagent", nullptr, {argv0}, 0, 0, 0};
    ASSERT_EQ(npmd_fix_proc_mon_list(&conf, &agent, 1), 0);
    char path[NPM_PATH_MAX];
    ASSERT_EQ(npm_program_path(&agent, path, sizeof(path)), 0);
    EXPECT_STREQ(path, c.program);
    std::string joined;
    for (int i = 0; agent.np_argv[i] != nullptr; i++)
        joined += std::string(" ") + agent.np_argv[i];
    EXPECT_EQ(joined, c.agent_args);
    npm_proc_release(&agent);
    npmd_conf_release(&conf);
}

INSTANTIATE_TEST_SUITE_P(
    Roots, NpmdOpts,
    ::testing::Values(
        OptsCase{"Defaults",
                 {},
                 "/opt/qorvexa/varnix/run/qorv-netmon.pid",
                 "/opt/qorvexa/varnix/logs/qorv-netmon.log",
                 "/opt/qorvexa/varnix/home/",
                 "/opt/qorvexa/varnix/bin/qorv-netagent",
                 " qorv-netagent -c /opt/qorvexa/varnix/conf/ -l /opt/qorvexa/varnix/logs/ -r "
                 "/opt/qorvexa/varnix/run/",
                 -1},
        OptsCase{"RootWithoutSlashAndParent",
                 {"-r", "/x", "-p", "1234"},
                 "/x/run/qorv-netmon.pid",
                 "/x/logs//qorv-netmon.log",
                 "/x/home/",
                 "/xbin/qorv-netagent",
                 " qorv-netagent -c /xconf/ -l /xlogs/ -r /xrun/",
                 1234},
        // The last -r counts, non-options are ignored, -p is read by strtol;
        // the supervisor's own names get doubled slashes, the agent's none.
        OptsCase{"LastRootAndTextParent",
                 {"-r", "/a/", "stray", "-r", "/b/", "-p", "abc"},
                 "/b//run/qorv-netmon.pid",
                 "/b//logs//qorv-netmon.log",
                 "/b//home/",
                 "/b/bin/qorv-netagent",
                 " qorv-netagent -c /b/conf/ -l /b/logs/ -r /b/run/",
                 0}),
    [](const ::testing::TestParamInfo<OptsCase> &i) { return std::string(i.param.name); });

TEST(NpmdPath, ProgramPathIsRefusedRatherThanCut) {
    // 256 bytes hold 255 characters and the terminator.
    std::string dir(255 - 13, 'd');
    npm_proc agent = {"qorv-netagent", dir.data(), {}, 0, 0, 0};
    char path[NPM_PATH_MAX];
    ASSERT_EQ(npm_program_path(&agent, path, sizeof(path)), 0);
    EXPECT_EQ(strlen(path), 255u);
    dir += "d";
    agent.np_dir = dir.data();
    EXPECT_EQ(npm_program_path(&agent, path, sizeof(path)), -1);
    EXPECT_STREQ(path, "");
}

}  // namespace
