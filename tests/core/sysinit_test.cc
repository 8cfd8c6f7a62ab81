#include "core/sysinit.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/agent_config.h"
#include "core/kern_timeout.h"
#include "core/logging.h"
#include "core/swi.h"
#include "support/test_support.h"

namespace {

std::vector<std::string> calls;

void record(void *arg) {
    calls.push_back(static_cast<const char *>(arg));
}

struct mod {
    const char *name;
    uint32_t sub;
    uint32_t order;
};

// Start-up modules in link order, and the order in which they must start.
constexpr mod init_link_order[] = {
    {"mbuf_mod", 0x750000, SI_ORDER_ANY},
    {"kv_mod", 0x600000, SI_ORDER_ANY},
    {"kvc_mod", 0x8000000, 0},
    {"kv_stats_mod", 0x600000, SI_ORDER_ANY},
    {"kv_metrics_mod", 0x600000, SI_ORDER_ANY},
    {"kv_metadata_mod", 0x600000, SI_ORDER_ANY},
    {"softclock_mod", 0x100000, 0},
    {"ftimer_mod", 0x100000, SI_ORDER_ANY},
    {"event_mod", 0x730000, SI_ORDER_ANY},
    {"logging", 0x620000, 2},
    {"timestamp_mod", 0x10, SI_ORDER_ANY},
    {"sig_mod", 0x200000, 0},
    {"privilege_mod", 0x10, SI_ORDER_ANY},
    {"nmem_mod", 0x10, SI_ORDER_ANY},
    {"placeholder", 0, SI_ORDER_ANY},
    {"utils_unix", 7, 0},
    {"netctl_mod", 5, SI_ORDER_ANY},
};
const std::vector<std::string> init_table = {
    "placeholder",    "netctl_mod",      "utils_unix", "timestamp_mod", "privilege_mod",
    "nmem_mod",       "softclock_mod",   "ftimer_mod", "sig_mod",       "kv_stats_mod",
    "kv_metrics_mod", "kv_metadata_mod", "kv_mod",     "logging",       "event_mod",
    "mbuf_mod",       "kvc_mod"};

constexpr mod fini_link_order[] = {
    {"mainpoll_mod", 0x100000, SI_ORDER_ANY},
    {"placeholder", 0, SI_ORDER_ANY},
    {"netctl_mod", 5, SI_ORDER_ANY},
};
const std::vector<std::string> fini_table = {"mainpoll_mod", "netctl_mod", "placeholder"};

// Descriptors built from a module list, each recording its own name.
struct test_set {
    std::vector<struct sysinit> descs;
    std::vector<struct sysinit *> ptrs;

    template <size_t N>
    explicit test_set(const mod (&mods)[N]) : descs(N) {
        for (size_t i = 0; i < N; i++) {
            struct sysinit &d = descs[i];
            snprintf(d.name, sizeof(d.name), "%s", mods[i].name);
            d.subsystem = mods[i].sub;
            d.order = mods[i].order;
            d.func = mods[i].sub == 0 ? nullptr : record;
            d.udata = d.name;
        }
        for (auto &d : descs)
            ptrs.push_back(&d);
    }
    struct sysinit **begin() {
        return ptrs.data();
    }
    struct sysinit **end() {
        return ptrs.data() + ptrs.size();
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (auto *p : ptrs)
            out.push_back(p->name);
        return out;
    }
    const struct sysinit *find(const char *name) const {
        for (auto &d : descs)
            if (strcmp(d.name, name) == 0) return &d;
        return nullptr;
    }
};

TEST(Sysinit, StartupOrderFromLinkOrderMatchesTableTiesIncluded) {
    test_set s(init_link_order);
    sysinit_sort(s.begin(), s.end(), true);
    EXPECT_EQ(s.names(), init_table);

    calls.clear();
    sysinit_run_set(s.begin(), s.end());
    std::vector<std::string> expected(init_table.begin() + 1, init_table.end());
    EXPECT_EQ(calls, expected);
    for (auto &d : s.descs) {
        if (strcmp(d.name, "placeholder") == 0)
            EXPECT_EQ(d.subsystem, 0u);
        else
            EXPECT_EQ(d.subsystem, SI_SUB_DONE) << d.name;
    }

    // A second pass sorts the run descriptors (now 1) to the front after
    // the inert one, and calls nothing.
    calls.clear();
    sysinit_sort(s.begin(), s.end(), true);
    sysinit_run_set(s.begin(), s.end());
    EXPECT_TRUE(calls.empty());
    EXPECT_STREQ(s.ptrs[0]->name, "placeholder");
}

TEST(Sysinit, ShutdownOrderIsDescending) {
    test_set s(fini_link_order);
    sysinit_sort(s.begin(), s.end(), false);
    EXPECT_EQ(s.names(), fini_table);
    calls.clear();
    sysinit_run_set(s.begin(), s.end());
    EXPECT_EQ(calls, (std::vector<std::string>{"mainpoll_mod", "netctl_mod"}));
}

TEST(Sysinit, ExchangeSortIsNotStable) {
    // a and b tie; c is smaller than both.  The exchange sort swaps a with
    // c first, which carries a past b: the result is c b a, not c a b.
    constexpr mod m[] = {{"a", 5, 5}, {"b", 5, 5}, {"c", 3, 0}};
    test_set s(m);
    sysinit_sort(s.begin(), s.end(), true);
    EXPECT_EQ(s.names(), (std::vector<std::string>{"c", "b", "a"}));
}

TEST(Sysinit, ReservedSubsystemsNeverRunInEitherDirection) {
    constexpr mod m[] = {{"inert", 0, 0},
                         {"done", 1, 7},
                         {"never", SI_SUB_NEVER, 0},
                         {"never2", SI_SUB_NEVER, SI_ORDER_ANY},
                         {"live", 2, 0}};
    for (bool asc : {true, false}) {
        test_set s(m);
        calls.clear();
        sysinit_sort(s.begin(), s.end(), asc);
        sysinit_run_set(s.begin(), s.end());
        EXPECT_EQ(calls, (std::vector<std::string>{"live"}));
        EXPECT_EQ(s.find("inert")->subsystem, 0u);
        EXPECT_EQ(s.find("never")->subsystem, SI_SUB_NEVER);
        EXPECT_EQ(s.find("live")->subsystem, SI_SUB_DONE);
    }
}

TEST(Sysinit, EmptySetRunsNothing) {
    std::vector<struct sysinit *> none;
    calls.clear();
    sysinit_sort(none.data(), none.data(), true);
    sysinit_run_set(none.data(), none.data());
    EXPECT_TRUE(calls.empty());
}

// The sets of this very program, as the linker laid them out.
std::vector<struct sysinit *> real_set(bool fini) {
    return {sysinit_set_begin(fini), sysinit_set_end(fini)};
}

// Checks that the known modules present in a real set come out of the sort
// in the table's relative order, and that every entry is a known module.
void check_real_order(bool fini, const std::vector<std::string> &table,
                      const std::vector<std::string> &required) {
    std::vector<struct sysinit *> set = real_set(fini);
    std::vector<std::string> present;
    for (auto *d : set) {
        ASSERT_NE(std::find(table.begin(), table.end(), d->name), table.end())
            << "unknown module " << d->name;
        ASSERT_EQ(std::count(present.begin(), present.end(), d->name), 0) << d->name;
        present.push_back(d->name);
    }
    for (const auto &r : required)
        EXPECT_NE(std::find(present.begin(), present.end(), r), present.end()) << r;

    // Sorting a copy leaves the program's own sets for sysinit_run.
    sysinit_sort(set.data(), set.data() + set.size(), !fini);
    size_t last = 0;
    for (auto *d : set) {
        size_t pos =
            static_cast<size_t>(std::find(table.begin(), table.end(), d->name) - table.begin());
        EXPECT_GE(pos, last) << d->name << " starts out of order";
        last = pos;
    }
}

TEST(Sysinit, RealProgramSetsHoldTheModulesInTableOrder) {
    check_real_order(false, init_table,
                     {"placeholder", "utils_unix", "timestamp_mod", "privilege_mod",
                      "softclock_mod", "sig_mod", "logging"});
    check_real_order(true, fini_table, {"mainpoll_mod", "placeholder"});
    EXPECT_GE(real_set(false).size(), 7u);
    EXPECT_GE(real_set(true).size(), 2u);
}

TEST(Sysinit, FiniBeforeInitDoesNothing) {
    // This test must not share a process with a real sysinit_run; the one
    // below runs in a child.
    ASSERT_EQ(sysinit_started(), 0);
    std::vector<uint32_t> before;
    for (auto *d : real_set(true))
        before.push_back(d->subsystem);
    sysfini_run();
    std::vector<uint32_t> after;
    for (auto *d : real_set(true))
        after.push_back(d->subsystem);
    EXPECT_EQ(before, after);
}

// Runs the real runners in a child process with logging in a temporary
// directory; exits with the number of the first failed check.
[[noreturn]] void real_runners_child(const std::string &dir) {
    static struct agent_config cfg;
    cfg.ac_logdir = strdup(dir.c_str());
    cfg.ac_rundir = strdup(dir.c_str());
    cfg.ac_confdir = strdup(dir.c_str());
    cfg.ac_homedir = strdup(dir.c_str());
    agent_cfg = &cfg;
    tr_set_echo(0);

    sysinit_run();
    if (sysinit_started() != 1) _exit(10);
    for (auto *d : real_set(false)) {
        bool inert = strcmp(d->name, "placeholder") == 0;
        if (d->subsystem != (inert ? 0u : SI_SUB_DONE)) _exit(11);
    }
    // softclock_init ran once: a timeout taken now must survive a second run.
    struct callout *c = timeout([](void *) {}, nullptr, 5000);
    if (callout_free_count() != NCALLOUT - 1) _exit(12);
    sysinit_run();
    if (callout_free_count() != NCALLOUT - 1) _exit(13);
    untimeout([](void *) {}, nullptr, c);

    sysfini_run();
    sysfini_run();
    // The stop flag is set: main_poll returns at once, even with work.
    static int calls_made;
    struct swi_handler *sh = swi_register(
        [](void *) {
            calls_made++;
            return 0;
        },
        nullptr);
    swi_raise(sh);
    main_poll(0);
    if (calls_made != 0) _exit(14);
    std::string log = qt::read_file(dir + "/qorv-netagent.log.0");
    size_t n = 0;
    for (size_t p = 0; (p = log.find("Stopping main poll", p)) != std::string::npos; p++)
        n++;
    if (n != 1) _exit(15);
    _exit(0);
}

TEST(Sysinit, RealRunnersRunEachModuleOnceInAChild) {
    qt::TempDir dir;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) real_runners_child(dir.path());
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
