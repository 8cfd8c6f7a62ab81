// Allocation failures in the runtime modules: start-up allocations stop the
// process with their panic texts; later ones report and fall back.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/child.h"
#include "core/kern_timeout.h"
#include "core/netctl/netctl_sock.h"
#include "core/nmem.h"
#include "core/swi.h"
#include "core/utils_unix.h"
#include "support/fail_alloc.h"

namespace {

void init_failing_at(int nth) {
    dup2(STDERR_FILENO, STDOUT_FILENO);  // the panic line is echoed to stdout
    qt::fail_alloc_nth(nth);
    softclock_init(nullptr);
}

TEST(RuntimeAllocFail, StartupAllocationsStopWithTheirPanicText) {
    EXPECT_DEATH(init_failing_at(1),
                 "\\[panic\\]: softclock_init: callwheel allocation failure(.|\n)*"
                 "kern_timeout.cc:[0-9]+: softclock_init: Assertion");
    EXPECT_DEATH(init_failing_at(2), "\\[panic\\]: softclock_init: callouts allocation failure");
    EXPECT_DEATH(
        {
            qt::fail_alloc_nth(1);
            swi_register([](void *) { return 0; }, nullptr);
        },
        "swi_register: Assertion `sh != \\(\\(void \\*\\)0\\)' failed");
    // A thread whose stack cannot be had: the control socket's start-up
    // stops rather than running on without its server.
    EXPECT_DEATH(
        {
            pthread_attr_t attr;
            pthread_attr_init(&attr);
            pthread_attr_setstacksize(&attr, size_t{1} << 46);
            pthread_setattr_default_np(&attr);
            netctl_mod_init(nullptr);
        },
        "nthread_unix.cc:[0-9]+: nthread_create: Assertion `rc == 0' failed");
}

TEST(RuntimeAllocFail, RuntimeCopiesReportAndLeaveNothing) {
    auto r = qt::run_child([] {
        qt::FailAlloc f(1);
        CHILD_CHECK(std::string(get_host_name()) == "unknown_host");
    });
    ASSERT_TRUE(r.exited(0)) << r.err;
    EXPECT_EQ(qt::count_of(r.out, " ERROR get_host_name: error getting hostname\n"), 1u) << r.out;

    qt::TempDir dir;
    mkdir((dir / "sub").c_str(), 0755);
    uint64_t live = nmem_stats.ns_alloced_objs;
    for (int nth : {1, 2}) {  // the top level's buffer, then the subdirectory's
        std::string out = qt::captured([&] {
            qt::FailAlloc f(nth);
            EXPECT_EQ(utils_dir_size(dir.path().c_str()), -1);
        });
        EXPECT_EQ(qt::count_of(out, " ERROR Error allocating file_name\n"), 1u) << out;
    }
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live);
    for (auto fn : {utils_os_name, utils_os_release}) {
        char *slot = reinterpret_cast<char *>(1);
        std::string out = qt::captured([&] {
            qt::FailAlloc f(1);
            EXPECT_EQ(fn(&slot), nullptr);
        });
        EXPECT_EQ(slot, nullptr);
        EXPECT_EQ(qt::count_of(out, " alloc failed\n"), 1u) << out;
        EXPECT_EQ(nmem_stats.ns_alloced_objs, live);
        ASSERT_NE(fn(&slot), nullptr);  // the next call has its copy
        nmem_free(slot);
    }
}

}  // namespace
