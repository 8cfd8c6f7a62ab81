#include "core/sysinit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/agent_config.h"
#include "core/child.h"
#include "core/kern_timeout.h"
#include "core/logging.h"
#include "core/swi.h"

namespace {

using names = std::vector<std::string>;
names calls;
void record(void *arg) {
    calls.push_back(static_cast<const char *>(arg));
}

struct mod {
    const char *name;
    uint32_t sub, order;
};
constexpr uint32_t ANY = SI_ORDER_ANY;
// The start-up modules in link order, and the order they must start in.
const std::vector<mod> init_links = {{"mbuf_mod", 0x750000, ANY},
                                     {"kv_mod", 0x600000, ANY},
                                     {"kvc_mod", 0x8000000, 0},
                                     {"kv_stats_mod", 0x600000, ANY},
                                     {"kv_metrics_mod", 0x600000, ANY},
                                     {"kv_metadata_mod", 0x600000, ANY},
                                     {"softclock_mod", 0x100000, 0},
                                     {"ftimer_mod", 0x100000, ANY},
                                     {"event_mod", 0x730000, ANY},
                                     {"logging", 0x620000, 2},
                                     {"timestamp_mod", 0x10, ANY},
                                     {"sig_mod", 0x200000, 0},
                                     {"privilege_mod", 0x10, ANY},
                                     {"nmem_mod", 0x10, ANY},
                                     {"placeholder", 0, ANY},
                                     {"utils_unix", 7, 0},
                                     {"netctl_mod", 5, ANY}};
const names init_table = {"placeholder",   "netctl_mod",   "utils_unix",     "timestamp_mod",
                          "privilege_mod", "nmem_mod",     "softclock_mod",  "ftimer_mod",
                          "sig_mod",       "kv_stats_mod", "kv_metrics_mod", "kv_metadata_mod",
                          "kv_mod",        "logging",      "event_mod",      "mbuf_mod",
                          "kvc_mod"};
const std::vector<mod> fini_links = {
    {"mainpoll_mod", 0x100000, ANY}, {"placeholder", 0, ANY}, {"netctl_mod", 5, ANY}};
const names fini_table = {"mainpoll_mod", "netctl_mod", "placeholder"};

// Descriptors built from a module list; each records its name when run.
struct test_set {
    std::vector<struct sysinit> d;
    std::vector<struct sysinit *> p;
    explicit test_set(const std::vector<mod> &mods) : d(mods.size()) {
        for (size_t i = 0; i < mods.size(); i++) {
            d[i] = {{}, mods[i].sub, mods[i].order, mods[i].sub ? record : nullptr, d[i].name};
            snprintf(d[i].name, sizeof(d[i].name), "%s", mods[i].name);
            p.push_back(&d[i]);
        }
    }
    void sort(bool asc) { sysinit_sort(p.data(), p.data() + p.size(), asc); }
    void run() { sysinit_run_set(p.data(), p.data() + p.size()); }
    names order() const {
        names out;
        for (auto *x : p)
            out.push_back(x->name);
        return out;
    }
};

TEST(Sysinit, LinkOrderSortsIntoTheStartupAndShutdownTables) {
    test_set s(init_links);
    s.sort(true);
    // The sort is not stable: kv_mod, linked second, ends last of its key.
    EXPECT_EQ(s.order(), init_table);
    calls.clear();
    s.run();
    EXPECT_EQ(calls, names(init_table.begin() + 1, init_table.end()));
    for (auto &x : s.d)
        EXPECT_EQ(x.subsystem, x.name == std::string("placeholder") ? 0u : 1u);
    calls.clear();
    s.sort(true);  // a second runner pass runs nothing
    s.run();
    EXPECT_TRUE(calls.empty());

    test_set f(fini_links);
    f.sort(false);
    EXPECT_EQ(f.order(), fini_table);
}

TEST(Sysinit, ReservedSubsystemsAndEmptySetsRunNothing) {
    for (bool asc : {true, false}) {
        test_set s({{"inert", 0, 0}, {"done", 1, 7}, {"never", SI_SUB_NEVER, 0}, {"live", 2, 0}});
        calls.clear();
        s.sort(asc);
        s.run();
        EXPECT_EQ(calls, names{"live"});
        EXPECT_EQ(s.d[2].subsystem, SI_SUB_NEVER);
    }
    test_set empty({});
    empty.sort(true);
    empty.run();
}

// The known modules present in this program's own sets (more join as the
// program grows) must sort in the tables' relative order.
void check_real_set(bool fini, const names &table, const names &required) {
    std::vector<struct sysinit *> set(sysinit_set_begin(fini), sysinit_set_end(fini));
    names present;
    for (auto *d : set) {
        ASSERT_NE(std::find(table.begin(), table.end(), d->name), table.end()) << d->name;
        ASSERT_EQ(std::count(present.begin(), present.end(), d->name), 0) << d->name;
        present.push_back(d->name);
    }
    for (auto &r : required)
        EXPECT_NE(std::find(present.begin(), present.end(), r), present.end()) << r;
    sysinit_sort(set.data(), set.data() + set.size(), !fini);  // a copy
    size_t last = 0;
    for (auto *d : set) {
        size_t pos = std::find(table.begin(), table.end(), d->name) - table.begin();
        EXPECT_GE(pos, last) << d->name;
        last = pos;
    }
}

TEST(Sysinit, RealProgramSetsHoldTheModulesInTableOrder) {
    check_real_set(false, init_table,
                   {"placeholder", "utils_unix", "timestamp_mod", "privilege_mod", "softclock_mod",
                    "sig_mod", "logging"});
    check_real_set(true, fini_table, {"mainpoll_mod", "placeholder"});
}

TEST(Sysinit, RealRunnersRunEachModuleOnce) {
    qt::TempDir dir;
    auto r = qt::run_child([&] {
        static struct agent_config cfg;
        cfg.ac_logdir = cfg.ac_rundir = cfg.ac_confdir = cfg.ac_homedir =
            strdup(dir.path().c_str());
        agent_cfg = &cfg;
        sysfini_run();  // before sysinit_run: nothing
        for (auto **p = sysinit_set_begin(true); p < sysinit_set_end(true); p++)
            CHILD_CHECK(strcmp((*p)->name, "mainpoll_mod") != 0 || (*p)->subsystem == 0x100000);
        sysinit_run();
        CHILD_CHECK(sysinit_started() == 1);
        for (auto **p = sysinit_set_begin(false); p < sysinit_set_end(false); p++)
            CHILD_CHECK((*p)->subsystem == (strcmp((*p)->name, "placeholder") ? 1u : 0u));
        timeout([](void *) {}, nullptr, 5000);
        sysinit_run();  // softclock_init again would empty the wheel
        CHILD_CHECK(callout_free_count() == NCALLOUT - 1);
        sysfini_run();
        sysfini_run();
        static int dispatched;
        swi_raise(swi_register([](void *) { return ++dispatched; }, nullptr));
        main_poll(0);  // stopped for good: returns at once
        CHILD_CHECK(dispatched == 0);
    });
    ASSERT_TRUE(r.exited(0)) << r.err;
    EXPECT_EQ(qt::count_of(qt::read_file(dir / "qorv-netagent.log.0"), "Stopping main poll"), 1u);
}

}  // namespace
