// Allocation failures in guarded allocation and logging: each reports what
// it should, and leaves nothing allocated behind.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "core/agent_config.h"
#include "core/logging.h"
#include "core/nmem.h"
#include "support/fail_alloc.h"
#include "support/test_support.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;


TEST(NmemAllocFail, FailedAllocationIsCountedAndSilent) {
    struct nmem_stats before = nmem_stats;
    std::string out = qt::echoed([] {
        qt::FailAlloc f(1);
        EXPECT_EQ(nmem_alloc(32, NMEM_ZERO), nullptr);
    });
    EXPECT_EQ(out, "");
    EXPECT_EQ(nmem_stats.ns_alloc_errors, before.ns_alloc_errors + 1);
    EXPECT_EQ(nmem_stats.ns_allocs, before.ns_allocs);
    EXPECT_EQ(nmem_stats.ns_alloced_objs, before.ns_alloced_objs);
    void *p = nmem_alloc(32, 0);  // usable again at once
    ASSERT_NE(p, nullptr);
    nmem_free(p);
}

TEST(NmemAllocFail, StringCopiesReportAndReturnNothing) {
    uint64_t live = nmem_stats.ns_alloced_objs;
    char *s = reinterpret_cast<char *>(1);
    std::string out = qt::echoed([&] {
        qt::FailAlloc f(1);
        s = n_strdup("abc");
    });
    EXPECT_EQ(s, nullptr);
    EXPECT_THAT(out, HasSubstr(" ERROR n_strdup: str 'abc' alloc failed\n"));

    char *fmt = nullptr;
    int n = 0;
    out = qt::echoed([&] {
        qt::FailAlloc f(1);
        n = n_asprintf(&fmt, "%d-%s", 7, "x");
    });
    EXPECT_EQ(n, -1);
    EXPECT_EQ(fmt, nullptr);
    EXPECT_THAT(out, HasSubstr(" ERROR n_asprintf: alloc failed\n"));
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live);
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

TEST_F(LoggingAllocFail, DebugFileFailuresLeaveLoggingUninitialisedWithoutLeaks) {
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
        EXPECT_THAT(out, Not(HasSubstr("Logging infra initialized"))) << nth;
        // The clean start held two base paths; now only the main one is held.
        EXPECT_EQ(nmem_stats.ns_alloced_objs, live - 1) << nth;
        tr_log(1, TR_INFO, "after failure %ld", nth);
        EXPECT_THAT(qt::read_file(main_ + ".0"), Not(HasSubstr("after failure"))) << nth;
    }
}

TEST_F(LoggingAllocFail, FailedRotationNameKeepsWritingTheCurrentFile) {
    int fd = open((debug_ + ".0").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_EQ(ftruncate(fd, 52428790), 0);
    close(fd);
    tr_init();
    {
        qt::FailAlloc f(1);
        tr_log(1, TR_DEBUG, "over the limit");
    }
    EXPECT_THAT(qt::read_file(main_ + ".0"),
                HasSubstr("ERROR tr_perform_rotation: Unable to \t\t\t\t    rotate " + debug_ +
                          ": asprintf error\n"));
    EXPECT_GT(qt::file_size(debug_ + ".0"), 52428790);
    EXPECT_FALSE(qt::file_exists(debug_ + ".1"));
    tr_log(1, TR_DEBUG, "still logging");
    EXPECT_THAT(qt::read_file(debug_ + ".0").substr(52428790), HasSubstr("DEBUG still logging\n"));
}

using LoggingAllocFailDeathTest = LoggingAllocFail;

TEST_F(LoggingAllocFailDeathTest, MainFileCopyFailureStops) {
    EXPECT_DEATH(
        {
            fflush(stdout);
            dup2(2, 1);
            tr_set_echo(1);
            qt::fail_alloc_nth(1);
            tr_init();
        },
        "ERROR tr_init: strdup error: Cannot allocate memory\n(.|\n)*tr_init: Assertion");
}

}  // namespace
