#include "core/logging.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/agent_config.h"
#include "core/child.h"
#include "core/nmem.h"
#include "support/test_support.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// A record that logs to <dir>/main.log(.0) and, optionally, to a debug file.
class LoggingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tr_set_echo(0);
        tr_mask = TR_GEN;
        cfg_ = agent_config{};
        cfg_.ac_dest = dest_;
        main_base_ = dir_ / "main.log";
        cfg_.ac_logfile = main_base_.data();
        agent_cfg = &cfg_;
    }
    void TearDown() override {
        // Leave logging pointed at a file of its own, not at this test's.
        static qt::TempDir after;
        qt::log_to(after / "after.log");
        tr_set_echo(1);
    }
    void with_debug_file() {
        debug_base_ = dir_ / "debug.log";
        cfg_.ac_debug = 1;
        cfg_.ac_debug_logfile = debug_base_.data();
    }
    std::string main0() { return qt::read_file(main_base_ + ".0"); }

    qt::TempDir dir_;
    char dest_[8] = "file";
    std::string main_base_, debug_base_;
    agent_config cfg_{};
};

// Lines are appended to what the file holds, which the byte count starts
// from; a line that does not fit the buffer is dropped whole.
TEST_F(LoggingTest, LineFormatLevelsLengthAndAppending) {
    qt::write_file(main_base_ + ".0", "old\n");
    tr_init();
    tr_log(1, TR_INFO, "tr_test: value %d", 42);
    tr_log(1, TR_WARN, "w\xe2\x82\xac\xe2\x82");  // a character, then one cut short
    tr_log(1, TR_ERROR, "e");
    tr_log(1, TR_NONE, "level zero");
    tr_log(2, TR_INFO, "category 2 is off by default");
    tr_log(1, TR_INFO, nullptr);
    std::string fits(2021, 'a'), too_long(2022, 'b');
    tr_log(1, TR_INFO, "%s", fits.c_str());
    tr_log(1, TR_INFO, "%s", too_long.c_str());
    tr_log(1, TR_INFO, "after\n\n");  // its own newlines: still one line
    auto lines = qt::split_lines(main0());
    ASSERT_EQ(lines.size(), 8u) << main0();
    EXPECT_EQ(lines[0], "old");
    const char *want[] = {" INFO Logging infra initialized\\.\\.\\.", " INFO tr_test: value 42",
                          " WARN w\u20ac\\?\\?", " ERROR e", "  level zero", " INFO a{2021}", " INFO after"};
    EXPECT_EQ(main0().back(), '\n');
    for (size_t i = 0; i < 7; i++)
        EXPECT_TRUE(std::regex_match(
            lines[i + 1], std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}" +
                                     std::string(want[i]))))
            << lines[i + 1];
    EXPECT_EQ(lines[6].size(), 2046u);  // 2047 with its newline, then the NUL
    EXPECT_EQ(tr_main_log_bytes(), static_cast<int32_t>(main0().size()));
}

TEST_F(LoggingTest, RotatesIntoThreeGenerationsAndNeverAFourth) {
    qt::write_file(main_base_ + ".1", "generation one\n");
    qt::write_file(main_base_ + ".2", "oldest, dropped\n");
    qt::presize(main_base_ + ".0", 52428700);
    tr_init();  // its own line takes the file to the brink
    std::string big(100, 'z');
    tr_log(1, TR_INFO, "%s", big.c_str());
    EXPECT_EQ(qt::read_file(main_base_ + ".2"), "generation one\n");
    EXPECT_GE(qt::file_size(main_base_ + ".1"), 52428700);
    auto fresh = qt::split_lines(main0());
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_THAT(fresh[0], HasSubstr(big));
    EXPECT_FALSE(qt::file_exists(main_base_ + ".3"));

    // A second rotation with base.1 missing skips that step silently.
    ASSERT_EQ(unlink((main_base_ + ".1").c_str()), 0);
    qt::presize(main_base_ + ".0", 52428790);
    tr_init();
    tr_log(1, TR_INFO, "again");
    EXPECT_FALSE(qt::file_exists(main_base_ + ".2") &&
                 qt::read_file(main_base_ + ".2") != "generation one\n");
    EXPECT_THAT(main0(), HasSubstr("INFO again"));
    EXPECT_FALSE(qt::file_exists(main_base_ + ".3"));
}

TEST_F(LoggingTest, ThreadsCrossingTheThresholdTogetherRotateOnceAndLoseNoLine) {
    qt::presize(main_base_ + ".0", 52428799 - 4000);
    tr_init();
    constexpr int kThreads = 4, kLines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; i++)
                tr_log(1, TR_INFO, "worker %d line %d end", t, i);
        });
    for (auto &th : threads)
        th.join();

    EXPECT_FALSE(qt::file_exists(main_base_ + ".2")) << "rotated more than once";
    std::string all = qt::read_file(main_base_ + ".1");
    all = all.substr(all.find_first_not_of('\0')) + main0();
    const std::regex whole(
        "[0-9-]{10} [0-9:]{8} INFO (worker ([0-9]) line ([0-9]+) end|Logging infra "
        "initialized...)");
    std::set<std::pair<int, int>> seen;
    for (const auto &l : qt::split_lines(all)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, whole)) << "damaged line: " << l;
        if (m[2].matched) {
            EXPECT_TRUE(seen.emplace(std::stoi(m[2]), std::stoi(m[3])).second) << l;
        }
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}

TEST_F(LoggingTest, DebugLinesGoOnlyToADebugFileThatOpens) {
    tr_init();  // no debug file: DEBUG lines are echoed only
    tr_log(1, TR_DEBUG, "not kept");
    EXPECT_THAT(main0(), Not(HasSubstr("not kept")));

    with_debug_file();
    tr_init();
    tr_log(1, TR_DEBUG, "dbg line");
    tr_log(1, TR_INFO, "info line");
    std::string dbg = qt::read_file(debug_base_ + ".0");
    EXPECT_THAT(dbg, HasSubstr(" DEBUG dbg line\n"));
    EXPECT_THAT(dbg, Not(HasSubstr("info line")));
    EXPECT_THAT(main0(), Not(HasSubstr("dbg line")));
    // Announced before logging is up, so only on standard output.
    EXPECT_THAT(main0(), Not(HasSubstr("Initializing debug logging")));

    // One that cannot be opened: see AgentConfE2E.
}

TEST_F(LoggingTest, FailedDebugRotationIsReportedAndLoggingGoesOn) {
    with_debug_file();
    // base.2 is a non-empty directory: renaming base.1 onto it fails.
    qt::write_file(debug_base_ + ".1", "previous\n");
    ASSERT_EQ(mkdir((debug_base_ + ".2").c_str(), 0755), 0);
    qt::write_file(debug_base_ + ".2/keep", "x");
    qt::presize(debug_base_ + ".0", 52428790);
    tr_init();
    tr_log(1, TR_DEBUG, "past the limit");
    EXPECT_THAT(main0(), HasSubstr("ERROR tr_perform_rotation: Rename error for " + debug_base_ +
                                   ".1: Is a directory\n"));
    // The line still lands, at the end of the current generation.
    std::string dbg = qt::read_file(debug_base_ + ".0");
    EXPECT_GT(dbg.size(), 52428790u);
    EXPECT_THAT(dbg.substr(dbg.size() - 40), HasSubstr("DEBUG past the limit\n"));
    EXPECT_EQ(qt::read_file(debug_base_ + ".1"), "previous\n");
    EXPECT_FALSE(qt::file_exists(debug_base_ + ".3"));
}

TEST_F(LoggingTest, VerboseToggleAndFlowDebugSetTheMask) {
    cfg_.ac_flow_debug = 1;
    tr_init();
    EXPECT_EQ(tr_mask, TR_GEN | TR_FLOWDEBUG);
    tr_verbose_toggle();
    EXPECT_EQ(tr_mask, ~uint64_t{0});
    tr_log(2, TR_DEBUG, "ignored without debug file");
    tr_log(2, TR_INFO, "metric detail");
    tr_verbose_toggle();
    EXPECT_EQ(tr_mask, TR_GEN | TR_FLOWDEBUG);
    tr_log(2, TR_INFO, "dropped again");
    // Restoring a mask without the general category logs nothing.
    tr_mask = 2;
    tr_verbose_toggle();
    tr_verbose_toggle();
    EXPECT_EQ(tr_mask, 2u);
    std::string log = main0();
    EXPECT_THAT(log, HasSubstr("INFO Debug flow logs is enabled\n"));
    EXPECT_THAT(log, HasSubstr("INFO Verbose logging enabled\n"));
    EXPECT_THAT(log, HasSubstr("INFO metric detail\n"));
    EXPECT_EQ(qt::count_of(log, "INFO Verbose logging disabled\n"), 1u) << log;
    EXPECT_THAT(log, Not(HasSubstr("dropped again")));
    EXPECT_THAT(log, Not(HasSubstr("ignored")));
}

TEST_F(LoggingTest, LoggingInitJoinsDefaultNamesUnderTheLogDirectory) {
    cfg_ = agent_config{};
    cfg_.ac_logdir = n_strdup(dir_.path().c_str());
    cfg_.ac_logfile = n_strdup("agent.log");
    logging_init(nullptr);
    EXPECT_STREQ(cfg_.ac_dest, "file");
    EXPECT_EQ(std::string(cfg_.ac_logfile), dir_ / "agent.log");
    EXPECT_EQ(std::string(cfg_.ac_debug_logfile), dir_ / "agent-debug.log");
    EXPECT_EQ(cfg_.ac_debug, 1);
    EXPECT_TRUE(qt::file_exists(dir_ / "agent.log.0"));
    EXPECT_TRUE(qt::file_exists(dir_ / "agent-debug.log.0"));

    char buf[4096];
    EXPECT_EQ(tr_logdir_path(buf, "x.txt"), static_cast<int>(dir_.path().size() + 6));
    EXPECT_EQ(std::string(buf), dir_ / "x.txt");
    for (char *f : {cfg_.ac_dest, cfg_.ac_logdir, cfg_.ac_logfile, cfg_.ac_debug_logfile})
        nmem_free(f);
}

// Syslog lines leave out the timestamp, carry the level's priority, and
// neither DEBUG nor level-0 lines are sent.  The test stands in for the
// system logger at /dev/log, so it runs only where there is none.
TEST(LoggingSyslog, LinesWithoutTimestampAtTheirPriority) {
    const char *dev_log = "/dev/log";
    if (access(dev_log, F_OK) == 0) GTEST_SKIP() << "a system logger owns /dev/log";
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    struct sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    strcpy(sa.sun_path, dev_log);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)) != 0) {
        close(fd);
        GTEST_SKIP() << "cannot stand in for the system logger: " << strerror(errno);
    }
    auto r = qt::run_child([] {
        static char dest[] = "syslog";
        static agent_config cfg{};
        cfg.ac_dest = dest;
        agent_cfg = &cfg;
        tr_set_echo(0);
        tr_init();
        tr_log(1, TR_DEBUG, "debug line");
        tr_log(1, TR_NONE, "level zero line");
        tr_log(1, TR_INFO, "info line %d", 1);
        tr_log(1, TR_WARN, "warn line");
        tr_log(1, TR_ERROR, "error line");
    });
    std::vector<std::string> got;
    char buf[4096];
    for (ssize_t n; (n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT)) > 0;)
        got.emplace_back(buf, n);
    close(fd);
    unlink(dev_log);
    ASSERT_TRUE(r.exited(0)) << r.err;
    // "Logging infra initialized...", then the three lines of levels 2 to 4.
    ASSERT_EQ(got.size(), 4u);
    const std::regex shape("<([0-9]+)>.*\\[[0-9]+\\]: (.*)\n");
    const std::pair<int, std::string> want[] = {{14, "INFO Logging infra initialized..."},
                                                {14, "INFO info line 1"},
                                                {12, "WARN warn line"},
                                                {11, "ERROR error line"}};
    for (size_t i = 0; i < got.size(); i++) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(got[i], m, shape)) << got[i];
        EXPECT_EQ(std::stoi(m[1]), want[i].first) << got[i];  // LOG_USER | priority
        EXPECT_EQ(m[2], want[i].second);
    }
}

TEST(LoggingTime, FormattersUseLocalTime) {
    setenv("TZ", "UTC", 1);
    tzset();
    time_t t = 1700000000;  // 2023-11-14 22:13:20 UTC
    char buf[64];
    tr_time_str(&t, buf, sizeof(buf));
    EXPECT_STREQ(buf, "2023-11-14 22:13:20");
    EXPECT_EQ(tr_time_str_file(&t, buf, sizeof(buf)), 19u);
    EXPECT_STREQ(buf, "2023_11_14_22_13_20");
    EXPECT_EQ(tr_time_str_short(&t, buf, sizeof(buf)), 12u);
    EXPECT_STREQ(buf, "231114221320");
}

using LoggingDeathTest = LoggingTest;

TEST_F(LoggingDeathTest, UnknownDestinationsExitWithStatus2) {
    for (const char *dest : {"File", "sys", "", "files"}) {
        std::string d = dest;
        cfg_.ac_dest = d.data();
        EXPECT_EXIT((qt::echo_to_stderr(), tr_init()), ::testing::ExitedWithCode(2),
            "ERROR Incorrect option provided for log destination. Exiting\n")
            << dest;
    }
}

TEST_F(LoggingDeathTest, MainFileThatCannotBeOpenedStops) {
    std::string bad = dir_ / "missing/main.log";
    cfg_.ac_logfile = bad.data();
    EXPECT_DEATH((qt::echo_to_stderr(), tr_init()),
        "ERROR tr_init: fopen error: No such file or directory\n"
        "(.|\n)*src/core/logging.cc:[0-9]+: tr_init: Assertion `tr_main_lf.lf_fp != "
        "\\(\\(void \\*\\)0\\)' failed");
}

TEST_F(LoggingDeathTest, OverlongLogPathStopsInsteadOfTruncating) {
    cfg_ = agent_config{};
    std::string longdir(4090, 'd');
    cfg_.ac_logdir = n_strdup(longdir.c_str());
    EXPECT_DEATH(logging_init(nullptr), "src/core/logging.cc:[0-9]+: logging_join: Assertion");
    nmem_free(cfg_.ac_logdir);
}

}  // namespace
