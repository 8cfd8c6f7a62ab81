// Allocation failures in guarded allocation and logging: each reports what
// it should, and leaves nothing allocated behind.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "core/agent_config.h"
#include "core/child.h"
#include "core/logging.h"
#include "core/nmem.h"
#include "support/fail_alloc.h"
#include "support/test_support.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// A failed allocation is counted and silent; the string functions built
// on it report, return nothing and leave nothing allocated.
TEST(NmemAllocFail, FailuresAreCountedAndStringCopiesReport) {
    struct nmem_stats before = nmem_stats;
    char *s = reinterpret_cast<char *>(1), *fmt = nullptr;
    int n = 0;
    const std::pair<std::function<void()>, const char *> calls[] = {
        {[] { EXPECT_EQ(nmem_alloc(32, NMEM_ZERO), nullptr); }, ""},
        {[&] { s = n_strdup("abc"); }, " ERROR n_strdup: str 'abc' alloc failed\n"},
        {[&] { n = n_asprintf(&fmt, "%d-%s", 7, "x"); }, " ERROR n_asprintf: alloc failed\n"},
    };
    for (const auto &c : calls) {
        std::string out = qt::echoed([&] {
            qt::FailAlloc f(1);
            c.first();
        });
        EXPECT_EQ(out.substr(std::min<size_t>(out.size(), 19)), c.second);  // after the time stamp
    }
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(fmt, nullptr);
    EXPECT_EQ(nmem_stats.ns_alloc_errors, before.ns_alloc_errors + 3);
    EXPECT_EQ(nmem_stats.ns_allocs, before.ns_allocs);
    EXPECT_EQ(nmem_stats.ns_alloced_objs, before.ns_alloced_objs);
    void *p = nmem_alloc(32, 0);  // usable again at once
    ASSERT_NE(p, nullptr);
    nmem_free(p);
}

class LoggingAllocFail : public ::testing::Test {
  protected:
    void SetUp() override {
        tr_set_echo(0);
        cfg_.ac_dest = dest_;
        cfg_.ac_logfile = main_.data();
        cfg_.ac_debug = 1;
        cfg_.ac_debug_logfile = debug_.data();
        agent_cfg = &cfg_;
    }
    qt::TempDir dir_;
    char dest_[8] = "file";
    std::string main_ = dir_ / "m.log", debug_ = dir_ / "d.log";
    agent_config cfg_{};
};

TEST_F(LoggingAllocFail, DebugFileFailuresKeepTheMainLogWithoutLeaks) {
    // Allocations of tr_init: main base copy, main name, debug base copy,
    // debug name.  Failing the third or the fourth hits the debug file.
    for (long nth : {3L, 4L}) {
        tr_init();  // a clean start: closes and frees what the last run held
        uint64_t live = nmem_stats.ns_alloced_objs;
        std::string out = qt::echoed([&] {
            qt::FailAlloc f(nth);
            tr_init();
        });
        const char *want = nth == 3 ? "ERROR tr_init: strdup error: Cannot allocate memory\n"
                                    : "ERROR tr_init: asprintf error\n";
        EXPECT_THAT(out, HasSubstr(want)) << nth;
        // The clean start held two base paths; now only the main one is held.
        EXPECT_EQ(nmem_stats.ns_alloced_objs, live - 1) << nth;
        tr_log(1, TR_INFO, "after failure %ld", nth);
        std::string log = qt::read_file(main_ + ".0");
        EXPECT_THAT(log, HasSubstr("ERROR tr_init: debug log " + debug_ +
                                   ".0 not opened: Cannot allocate memory\n"))
            << nth;
        EXPECT_THAT(log, HasSubstr("after failure " + std::to_string(nth))) << nth;
    }
}

// The last bytes of a file (log files here are 50 MiB, mostly a hole).
std::string tail(const std::string &path, size_t n = 200) {
    int fd = open(path.c_str(), O_RDONLY);
    off_t size = lseek(fd, 0, SEEK_END);
    off_t from = size > off_t(n) ? size - off_t(n) : 0;
    std::string out(size_t(size - from), '\0');
    EXPECT_EQ(pread(fd, out.data(), out.size(), from), ssize_t(out.size()));
    close(fd);
    return out;
}

// A file that the start-up lines of tr_init still fit in, but that the
// next long line takes past the rotation limit.
constexpr off_t NEAR_FULL = 52428799 - 1000;
const std::string long_line(1500, 'x');

// A rotation makes five names: base.0 and base.1 (to move base.1 onto
// base.2), base.0 and base.1 again (to move base.0 onto base.1), and base.0
// for the new file.  Whichever cannot be made, the line is written to
// base.0, no generation is lost, and only the debug file's failure is
// reported (in the main file).
TEST_F(LoggingAllocFail, FailedRotationNamesKeepWritingAndLoseNoGeneration) {
    for (bool debug : {true, false}) {
        for (long nth = 1; nth <= 5; nth++) {
            SCOPED_TRACE((debug ? "debug file, name " : "main file, name ") + std::to_string(nth));
            qt::TempDir d;
            main_ = d / "m.log";
            debug_ = d / "d.log";
            cfg_.ac_logfile = main_.data();
            cfg_.ac_debug_logfile = debug_.data();
            const std::string &base = debug ? debug_ : main_;
            qt::write_file(base + ".1", "generation one\n");
            qt::presize(base + ".0", NEAR_FULL);
            tr_init();
            {
                qt::FailAlloc f(nth);
                tr_log(1, debug ? TR_DEBUG : TR_INFO, "over the limit %s", long_line.c_str());
                EXPECT_FALSE(qt::fail_alloc_pending());
            }
            tr_log(1, debug ? TR_DEBUG : TR_INFO, "still logging");
            EXPECT_THAT(tail(base + ".0", 4096), HasSubstr("over the limit " + long_line + "\n"));
            EXPECT_THAT(tail(base + ".0"), HasSubstr("still logging\n"));
            EXPECT_FALSE(qt::file_exists(base + ".3"));
            // The oldest generation moved on, or stayed; it is not gone.
            EXPECT_EQ(tail(base + (nth <= 2 ? ".1" : ".2")), "generation one\n");
            EXPECT_GE(qt::file_size(base + (nth <= 4 ? ".0" : ".1")), NEAR_FULL);

            std::string log = tail(main_ + ".0", 4096);
            const std::string said =
                nth <= 4 ? "ERROR tr_perform_rotation: Unable to \t\t\t\t    rotate " + base +
                               ": asprintf error\n"
                         : "ERROR tr_perform_rotation: asprintf error\n";
            EXPECT_EQ(qt::count_of(log, "tr_perform_rotation"), debug ? 1u : 0u) << log;
            if (debug) {
                EXPECT_THAT(log, HasSubstr(said));
            }
        }
    }
}

using LoggingAllocFailDeathTest = LoggingAllocFail;

// Start-up allocations of logging stop: the main file's base copy and name
// in tr_init; the destination, the log directory and the two joined file
// names that logging_init makes first.
TEST_F(LoggingAllocFailDeathTest, StartUpAllocationsStop) {
    const std::string copy = "ERROR n_strdup: str '", null = " != \\(\\(void \\*\\)0\\)' failed";
    const struct {
        bool full;
        long nth;
        std::string want;
    } steps[] = {
        {false, 1, "ERROR tr_init: strdup error: Cannot allocate memory\n(.|\n)*tr_init: Assertion"},
        {false, 2, "ERROR tr_init: asprintf error\n(.|\n)*logging.cc:[0-9]+: tr_init: Assertion "
                   "`tr_main_lf.lf_fp" + null},
        {true, 1, copy + "file' alloc failed\n(.|\n)*logging_init: Assertion `cfg->ac_dest" + null},
        {true, 2, copy + "./' alloc failed\n(.|\n)*logging_init: Assertion `cfg->ac_logdir" + null},
        {true, 3, copy + ".//qorv-netagent.log' alloc failed\n(.|\n)*logging_join: Assertion"},
        {true, 4, copy + ".//agent-debug.log' alloc failed\n(.|\n)*logging_join: Assertion `joined" + null},
    };
    for (const auto &s : steps) {
        if (s.full) cfg_ = agent_config{};
        EXPECT_DEATH(
            {
                qt::echo_to_stderr();
                qt::fail_alloc_nth(s.nth);
                s.full ? logging_init(nullptr) : tr_init();
            },
            s.want)
            << s.nth;
    }
}

// Rotation falls back to the current file; without memory even for its
// name the process stops, after saying so for the debug file.
TEST_F(LoggingAllocFailDeathTest, RotationWithoutAnyMemoryStops) {
    for (bool debug : {true, false}) {
        qt::presize((debug ? debug_ : main_) + ".0", NEAR_FULL);
        tr_init();
        EXPECT_DEATH(
            {
                qt::echo_to_stderr();
                qt::fail_alloc_from(1);
                tr_log(1, debug ? TR_DEBUG : TR_INFO, "%s", long_line.c_str());
            },
            std::string(debug ? "ERROR tr_perform_rotation: asprintf error\n(.|\n)*" : "") +
                "logging.cc:[0-9]+: tr_perform_rotation: Assertion `memory for the log file's name")
            << debug;
        qt::presize((debug ? debug_ : main_) + ".0", 0);
    }
}

}  // namespace
