// Options, derived paths and the agent's entry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "supervisor/netmon_harness.h"
#include "supervisor/npmd.h"

namespace {

// Parses args (without the program name); returns the result and collects
// the echoed log messages.
struct Parsed {
    int rc;
    npmd_conf conf;
    std::vector<std::string> out;
};

Parsed parse(std::vector<std::string> args) {
    Parsed p;
    EXPECT_EQ(npmd_conf_init(&p.conf), 0);
    args.insert(args.begin(), "qorv-netmon");
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();  // getopt's own diagnostic
    p.rc = npmd_parse_opts(static_cast<int>(args.size()), argv.data(), &p.conf);
    p.out = nh::messages(testing::internal::GetCapturedStdout());
    testing::internal::GetCapturedStderr();
    return p;
}

std::vector<std::string> agent_argv(const npm_proc &p) {
    std::vector<std::string> v;
    for (int i = 0; p.np_argv[i] != nullptr; i++) v.push_back(p.np_argv[i]);
    return v;
}

class NpmdOpts : public ::testing::Test {
protected:
    Parsed p;
    char argv0[16] = "qorv-netagent";
    npm_proc agent = {"qorv-netagent", nullptr, {argv0}, 0, 0, 0};
    char path[NPM_PATH_MAX];

    void TearDown() override {
        npmd_conf_release(&p.conf);
        npm_proc_release(&agent);
    }
    void fix() { ASSERT_EQ(npmd_fix_proc_mon_list(&p.conf, &agent, 1), 0); }
};

TEST_F(NpmdOpts, DefaultsWithoutOptions) {
    p = parse({});
    ASSERT_EQ(p.rc, 0);
    EXPECT_STREQ(p.conf.nc_homedir, "/opt/qorvexa/varnix/home/");
    EXPECT_STREQ(p.conf.nc_logdir, "/opt/qorvexa/varnix/logs/");
    EXPECT_STREQ(p.conf.nc_rundir, "/opt/qorvexa/varnix/run/");
    EXPECT_STREQ(p.conf.nc_pidfile, "/opt/qorvexa/varnix/run/qorv-netmon.pid");
    EXPECT_STREQ(p.conf.nc_logfile, "/opt/qorvexa/varnix/logs/qorv-netmon.log");
    EXPECT_EQ(p.conf.nc_check_parent, 0);
    fix();
    ASSERT_EQ(npm_program_path(&agent, path, sizeof(path)), 0);
    EXPECT_STREQ(path, "/opt/qorvexa/varnix/bin/qorv-netagent");
    EXPECT_EQ(agent_argv(agent),
              (std::vector<std::string>{"qorv-netagent", "-c", "/opt/qorvexa/varnix/conf/", "-l",
                                        "/opt/qorvexa/varnix/logs/", "-r",
                                        "/opt/qorvexa/varnix/run/"}));
}

TEST_F(NpmdOpts, RootWithSlashDoublesSupervisorSlashesOnly) {
    p = parse({"-r", "/x/"});
    ASSERT_EQ(p.rc, 0);
    EXPECT_STREQ(p.conf.nc_homedir, "/x//home/");
    EXPECT_STREQ(p.conf.nc_pidfile, "/x//run/qorv-netmon.pid");
    EXPECT_STREQ(p.conf.nc_logfile, "/x//logs//qorv-netmon.log");
    fix();
    ASSERT_EQ(npm_program_path(&agent, path, sizeof(path)), 0);
    EXPECT_STREQ(path, "/x/bin/qorv-netagent");
    EXPECT_EQ(agent_argv(agent), (std::vector<std::string>{"qorv-netagent", "-c", "/x/conf/", "-l",
                                                           "/x/logs/", "-r", "/x/run/"}));
}

TEST_F(NpmdOpts, RootWithoutSlashJoinsAgentPathsBare) {
    p = parse({"-r", "/x"});
    ASSERT_EQ(p.rc, 0);
    EXPECT_STREQ(p.conf.nc_rundir, "/x/run/");
    EXPECT_STREQ(p.conf.nc_logfile, "/x/logs//qorv-netmon.log");
    fix();
    ASSERT_EQ(npm_program_path(&agent, path, sizeof(path)), 0);
    EXPECT_STREQ(path, "/xbin/qorv-netagent");
    EXPECT_STREQ(agent.np_argv[2], "/xconf/");
    EXPECT_STREQ(agent.np_argv[6], "/xrun/");
    EXPECT_EQ(agent.np_argv[7], nullptr);
}

TEST_F(NpmdOpts, LastRootCountsAndNonOptionsAreIgnored) {
    p = parse({"-r", "/first/", "stray", "-r", "/second/", "more"});
    ASSERT_EQ(p.rc, 0);
    EXPECT_STREQ(p.conf.nc_root, "/second/");
    EXPECT_STREQ(p.conf.nc_pidfile, "/second//run/qorv-netmon.pid");
    EXPECT_TRUE(p.out.empty());
}

TEST_F(NpmdOpts, ParentPidIsReadLikeStrtol) {
    p = parse({"-p", "1234"});
    EXPECT_EQ(p.conf.nc_check_parent, 1);
    EXPECT_EQ(p.conf.nc_parent_pid, 1234);
    npmd_conf_release(&p.conf);
    p = parse({"-p", "abc"});  // not a number: checks pid 0, which always answers
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.conf.nc_check_parent, 1);
    EXPECT_EQ(p.conf.nc_parent_pid, 0);
    npmd_conf_release(&p.conf);
    p = parse({"-p", "77x"});
    EXPECT_EQ(p.conf.nc_parent_pid, 77);
}

TEST_F(NpmdOpts, BadOptionsReportQuestionMark) {
    for (const auto &args : {std::vector<std::string>{"-x"}, std::vector<std::string>{"-r"},
                             std::vector<std::string>{"-p", "1", "-z"}}) {
        npmd_conf_release(&p.conf);
        p = parse(args);
        EXPECT_EQ(p.rc, -1) << args[0];
        EXPECT_EQ(p.out, std::vector<std::string>{"ERROR npmd_parse_opts: invalid option ?"});
    }
}

TEST_F(NpmdOpts, ProgramPathMustFitItsBuffer) {
    // 256 bytes hold 255 characters and the terminator.
    std::string dir(255 - 13, 'd');
    p = parse({"-r", dir});
    fix();
    free(agent.np_dir);
    agent.np_dir = strdup(dir.c_str());
    ASSERT_EQ(npm_program_path(&agent, path, sizeof(path)), 0);
    EXPECT_EQ(strlen(path), 255u);
    dir += "d";
    free(agent.np_dir);
    agent.np_dir = strdup(dir.c_str());
    EXPECT_EQ(npm_program_path(&agent, path, sizeof(path)), -1);
    EXPECT_STREQ(path, "");  // never a cut path
}

TEST_F(NpmdOpts, OnlyTheAgentEntryIsFilled) {
    char other0[] = "other";
    npm_proc list[2] = {{"other", nullptr, {other0}, 0, 0, 0}, agent};
    p = parse({"-r", "/y/"});
    ASSERT_EQ(npmd_fix_proc_mon_list(&p.conf, list, 2), 0);
    EXPECT_EQ(list[0].np_dir, nullptr);
    EXPECT_STREQ(list[1].np_dir, "/y/bin/");
    npm_proc_release(&list[1]);
}

}  // namespace
