// Allocation failures of the supervisor's start-up: the built-in settings,
// the options, the derived paths and the agent's entry.  Each failure says
// which step failed and returns -1, the record stays whole (releasing it
// frees everything, nothing leaks) and the same call succeeds once memory
// is back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <string>
#include <vector>

#include "core/logging.h"
#include "supervisor/npmd.h"
#include "support/fail_alloc.h"
#include "support/test_support.h"

namespace {

// Bytes the heap has handed out.  Freed chunks that the allocator keeps in
// its per-thread cache count as in use, so checks compare two runs of the
// same steps after a first run has filled that cache.
size_t heap_in_use() {
    return mallinfo2().uordblks;
}

// Runs step(nth) for nth = 1 .. last, twice; the second time the heap must
// be back to its size after each step.
template <class F>
void without_leaks(long last, F step) {
    for (int pass = 0; pass < 2; pass++) {
        for (long nth = 1; nth <= last; nth++) {
            const size_t heap = heap_in_use();
            step(nth);
            if (pass == 1) {
                EXPECT_EQ(heap_in_use(), heap) << "allocation " << nth;
            }
        }
    }
}

// Runs fn with the nth allocation call failing; returns the echoed log.
template <class F>
std::string failing(long nth, F fn) {
    return qt::echoed([&] {
        qt::FailAlloc f(nth);
        fn();
        EXPECT_FALSE(qt::fail_alloc_pending()) << "no allocation number " << nth;
    });
}

int parse(npmd_conf *c, std::vector<std::string> args) {
    args.insert(args.begin(), "qorv-netmon");
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return npmd_parse_opts(int(args.size()), argv.data(), c);
}

std::string agent_line(const npm_proc &p) {
    std::string s = p.np_dir != nullptr ? p.np_dir : "(null)";
    for (int i = 0; p.np_argv[i] != nullptr; i++)
        s += std::string(" ") + p.np_argv[i];
    return s;
}

TEST(NpmdAllocFail, BuiltInSettingsThatCannotBeCopiedLeaveNothing) {
    without_leaks(6, [](long nth) {
        npmd_conf c;
        std::string out = failing(nth, [&] { EXPECT_EQ(npmd_conf_init(&c), -1); });
        for (char *f :
             {c.nc_root, c.nc_homedir, c.nc_logdir, c.nc_rundir, c.nc_pidfile, c.nc_logfile})
            EXPECT_EQ(f, nullptr) << nth;
    });
}

TEST(NpmdAllocFail, OptionsAndDerivedPathsNameTheirStep) {
    // The root's copy, then the five paths in the order they are derived.
    static const char *said[] = {
        "npmd_parse_opts: strndup failed: Cannot allocate memory",
        "npmd_parse_opts: error homedir alloc",
        "npmd_parse_opts: error logdir alloc",
        "npmd_parse_opts: error piddir alloc",
        "npmd_parse_opts: error pidfile alloc",
        "npmd_parse_opts: error logfile alloc",
    };
    without_leaks(6, [](long nth) {
        npmd_conf c;
        ASSERT_EQ(npmd_conf_init(&c), 0);
        std::string out = failing(nth, [&] { EXPECT_EQ(parse(&c, {"-r", "/r/"}), -1); });
        EXPECT_EQ(qt::split_lines(out).size(), 1u) << out;
        EXPECT_THAT(out, ::testing::EndsWith(std::string(" ERROR ") + said[nth - 1] + "\n"));
        // Every field still holds a path: the default, or the new one.
        EXPECT_STREQ(c.nc_root, nth == 1 ? "/opt/qorvexa/varnix/" : "/r/");
        EXPECT_STREQ(c.nc_homedir, nth <= 2 ? "/opt/qorvexa/varnix/home/" : "/r//home/");
        EXPECT_STREQ(c.nc_logfile, "/opt/qorvexa/varnix/logs/qorv-netmon.log");
        EXPECT_EQ(parse(&c, {"-r", "/r/"}), 0);
        EXPECT_STREQ(c.nc_pidfile, "/r//run/qorv-netmon.pid");
        EXPECT_STREQ(c.nc_logfile, "/r//logs//qorv-netmon.log");
        npmd_conf_release(&c);
    });
}

TEST(NpmdAllocFail, AgentEntryNamesThePathThatFailed) {
    // Program directory, then each option and its directory.
    static const char *said[] = {"agent path",   "conf path",    "conf path",   "log dir path",
                                 "log dir path", "run dir path", "run dir path"};
    without_leaks(7, [](long nth) {
        npmd_conf c;
        ASSERT_EQ(npmd_conf_init(&c), 0);
        ASSERT_EQ(parse(&c, {"-r", "/r/"}), 0);
        char argv0[] = "qorv-netagent";
        npm_proc agent = {"qorv-netagent", nullptr, {argv0}, 0, 0, 0};
        std::string out =
            failing(nth, [&] { EXPECT_EQ(npmd_fix_proc_mon_list(&c, &agent, 1), -1); });
        EXPECT_EQ(qt::split_lines(out).size(), 1u) << out;
        EXPECT_THAT(out, ::testing::EndsWith(std::string(" ERROR npmd_fix_proc_mon_list: error ") +
                                             said[nth - 1] + " alloc\n"));
        // A second attempt starts from a clean entry.
        EXPECT_EQ(npmd_fix_proc_mon_list(&c, &agent, 1), 0);
        EXPECT_EQ(agent_line(agent), "/r/bin/ qorv-netagent -c /r/conf/ -l /r/logs/ -r /r/run/");
        npm_proc_release(&agent);
        npmd_conf_release(&c);
    });
}

}  // namespace
