// Options and the program path of the agent's entry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "supervisor/npmd.h"

namespace {

// The paths derived from each root and the agent's entry are checked for
// every root by the option fuzz target's invariants, replayed with its seeds
// (defaults, roots with and without a slash, at and past the path limit) in
// every test run.  What they leave open: which root counts, and the parent.
TEST(NpmdOpts, LastRootCountsAndTheParentIsReadByStrtol) {
    const struct {
        std::vector<std::string> args;
        const char *root, *pidfile, *agent_conf;
        int check_parent;
        pid_t parent;
    } cases[] = {
        {{},
         "/opt/qorvexa/varnix/",
         "/opt/qorvexa/varnix/run/qorv-netmon.pid",
         "/opt/qorvexa/varnix/conf/",
         0,
         0},
        {{"-r", "/x", "-p", "1234"}, "/x", "/x/run/qorv-netmon.pid", "/xconf/", 1, 1234},
        // Non-options are ignored; text after -p reads as 0.
        {{"-r", "/a/", "stray", "-r", "/b/", "-p", "abc"},
         "/b/",
         "/b//run/qorv-netmon.pid",
         "/b/conf/",
         1,
         0},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "qorv-netmon");
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        npmd_conf conf;
        ASSERT_EQ(npmd_conf_init(&conf), 0);
        ASSERT_EQ(npmd_parse_opts(static_cast<int>(args.size()), argv.data(), &conf), 0);
        EXPECT_STREQ(conf.nc_root, c.root);
        EXPECT_STREQ(conf.nc_pidfile, c.pidfile);
        EXPECT_EQ(conf.nc_check_parent, c.check_parent) << c.root;
        EXPECT_EQ(conf.nc_parent_pid, c.parent) << c.root;
        char argv0[] = "qorv-netagent";
        npm_proc agent = {"qorv-netagent", nullptr, {argv0}, 0, 0, 0};
        ASSERT_EQ(npmd_fix_proc_mon_list(&conf, &agent, 1), 0);
        EXPECT_STREQ(agent.np_argv[2], c.agent_conf);
        npm_proc_release(&agent);
        npmd_conf_release(&conf);
    }
}

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
