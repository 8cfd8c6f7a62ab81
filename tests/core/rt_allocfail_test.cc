// Allocation failures in the runtime modules: start-up allocations stop the
// process with their panic texts; run-time ones report and fall back.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "core/capture.h"
#include "core/child.h"
#include "core/kern_timeout.h"
#include "core/nmem.h"
#include "core/swi.h"
#include "core/utils_unix.h"
#include "support/fail_alloc.h"
#include "support/test_support.h"

namespace {

// Death-test bodies: the panic line is echoed to standard output, so it is
// sent where the death test looks.
void wheel_fails() {
    dup2(STDERR_FILENO, STDOUT_FILENO);
    qt::fail_alloc_nth(1);
    softclock_init(nullptr);
}

void table_fails() {
    dup2(STDERR_FILENO, STDOUT_FILENO);
    qt::fail_alloc_nth(2);
    softclock_init(nullptr);
}

void swi_record_fails() {
    qt::fail_alloc_nth(1);
    swi_register([](void *) { return 0; }, nullptr);
}

TEST(RuntimeAllocFail, StartupAllocationsStopWithTheirPanicText) {
    EXPECT_DEATH(wheel_fails(),
                 "\\[panic\\]: softclock_init: callwheel allocation failure(.|\n)*"
                 "src/core/kern_timeout.cc:[0-9]+: softclock_init: Assertion");
    EXPECT_DEATH(table_fails(),
                 "\\[panic\\]: softclock_init: callouts allocation failure(.|\n)*"
                 "src/core/kern_timeout.cc:[0-9]+: softclock_init: Assertion");
    EXPECT_DEATH(swi_record_fails(),
                 "swi_register: Assertion `sh != \\(\\(void \\*\\)0\\)' failed");
}

TEST(RuntimeAllocFail, HostNameFallsBackToTheConstant) {
    auto r = qt::run_child([] {
        qt::FailAlloc f(1);
        CHILD_CHECK(std::string(get_host_name()) == "unknown_host");
        CHILD_CHECK(get_host_name() == get_host_name());
    });
    ASSERT_TRUE(r.exited(0)) << r.err;
    EXPECT_EQ(qt::count_of(r.out, "ERROR get_host_name: error getting hostname\n"), 1u) << r.out;
}

TEST(RuntimeAllocFail, DirSizeAndOsNameReportAndLeaveNothing) {
    qt::TempDir dir;
    uint64_t live = nmem_stats.ns_alloced_objs;
    int64_t size = 0;
    std::string out = qt::capture_stdout([&] {
        qt::FailAlloc f(1);
        size = utils_dir_size(dir.path().c_str());
    });
    EXPECT_EQ(size, -1);
    EXPECT_NE(out.find("ERROR Error allocating file_name\n"), std::string::npos) << out;

    // A failure one level down fails the whole walk and releases the top
    // level's buffer and directory.
    mkdir((dir / "sub").c_str(), 0755);
    out = qt::capture_stdout([&] {
        qt::FailAlloc f(2);
        size = utils_dir_size(dir.path().c_str());
    });
    EXPECT_EQ(size, -1);
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live);

    char *slot = reinterpret_cast<char *>(1);
    {
        qt::FailAlloc f(1);
        EXPECT_EQ(utils_os_name(&slot), nullptr);
    }
    EXPECT_EQ(slot, nullptr);
}

}  // namespace
