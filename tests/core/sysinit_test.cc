#include "core/sysinit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/agent_config.h"
#include "core/child.h"
#include "core/event.h"
#include "core/kern_timeout.h"
#include "core/mbuf.h"
#include "core/nmem.h"
#include "core/swi.h"

namespace {

using names = std::vector<std::string>;
names calls;
void record(void *arg) {
    calls.push_back(static_cast<const char *>(arg));
}

constexpr uint32_t ANY = SI_ORDER_ANY;
struct mod {
    const char *name;
    uint32_t sub, order;
};
// The start-up modules in link order, and the order they must start in.
// clang-format off
const std::vector<mod> init_links = {
    {"mbuf_mod", 0x750000, ANY},     {"kv_mod", 0x600000, ANY},         {"kvc_mod", 0x8000000, 0},
    {"kv_stats_mod", 0x600000, ANY}, {"kv_metrics_mod", 0x600000, ANY}, {"kv_metadata_mod", 0x600000, ANY},
    {"softclock_mod", 0x100000, 0},  {"ftimer_mod", 0x100000, ANY},     {"event_mod", 0x730000, ANY},
    {"logging", 0x620000, 2},        {"timestamp_mod", 0x10, ANY},      {"sig_mod", 0x200000, 0},
    {"privilege_mod", 0x10, ANY},    {"nmem_mod", 0x10, ANY},           {"placeholder", 0, ANY},
    {"utils_unix", 7, 0},            {"netctl_mod", 5, ANY}};
const names init_table = {
    "placeholder", "netctl_mod", "utils_unix", "timestamp_mod", "privilege_mod", "nmem_mod",
    "softclock_mod", "ftimer_mod", "sig_mod", "kv_stats_mod", "kv_metrics_mod", "kv_metadata_mod",
    "kv_mod", "logging", "event_mod", "mbuf_mod", "kvc_mod"};
// clang-format on
const names fini_table = {"mainpoll_mod", "netctl_mod", "placeholder"};

// Sorts and runs descriptors made from mods; returns the sorted names.
names sort_and_run(const std::vector<mod> &mods, bool asc, std::vector<struct sysinit> &d) {
    d.resize(mods.size());
    std::vector<struct sysinit *> p;
    for (size_t i = 0; i < mods.size(); i++) {
        d[i] = {{}, mods[i].sub, mods[i].order, mods[i].sub ? record : nullptr, d[i].name};
        snprintf(d[i].name, sizeof(d[i].name), "%s", mods[i].name);
        p.push_back(&d[i]);
    }
    sysinit_sort(p.data(), p.data() + p.size(), asc);
    sysinit_run_set(p.data(), p.data() + p.size());
    names out;
    for (auto *x : p)
        out.push_back(x->name);
    return out;
}

TEST(Sysinit, LinkOrderSortsIntoTheTablesAndReservedEntriesNeverRun) {
    std::vector<struct sysinit> d;
    calls.clear();
    // The sort is not stable: kv_mod, linked second, ends last of its key.
    EXPECT_EQ(sort_and_run(init_links, true, d), init_table);
    EXPECT_EQ(calls, names(init_table.begin() + 1, init_table.end()));
    for (auto &x : d)
        EXPECT_EQ(x.subsystem, x.name == std::string("placeholder") ? 0u : 1u);
    calls.clear();
    EXPECT_EQ(
        sort_and_run(
            {{"mainpoll_mod", 0x100000, ANY}, {"placeholder", 0, ANY}, {"netctl_mod", 5, ANY}},
            false, d),
        fini_table);
    for (bool asc : {true, false})
        sort_and_run({{"inert", 0, 0}, {"done", 1, 7}, {"never", SI_SUB_NEVER, 0}, {"live", 2, 0}},
                     asc, d);
    sort_and_run({}, true, d);
    EXPECT_EQ(calls, (names{"mainpoll_mod", "netctl_mod", "live", "live"}));
}

// The known modules in this program's own sets (more join as the program
// grows) must start in the table's order, ties included, whichever of them
// are present.
void check_real_set(bool fini, const names &table, const names &required) {
    std::vector<struct sysinit *> set(sysinit_set_begin(fini), sysinit_set_end(fini));
    sysinit_sort(set.data(), set.data() + set.size(), !fini);  // a copy
    names sorted, in_table_order;
    for (auto *d : set)
        sorted.push_back(d->name);
    for (auto &t : table)
        if (std::count(sorted.begin(), sorted.end(), t)) in_table_order.push_back(t);
    EXPECT_EQ(sorted, in_table_order) << "a module missing from the table, or out of order";
    for (auto &r : required)
        EXPECT_TRUE(std::count(sorted.begin(), sorted.end(), r)) << r;
}

TEST(Sysinit, RealSetsHoldTheModulesInTableOrderAndRunEachOnce) {
    // Every module of the start-up table is linked into this program.
    check_real_set(false, init_table, init_table);
    check_real_set(true, fini_table, {"mainpoll_mod", "placeholder"});
    qt::TempDir dir;
    auto r = qt::run_child([&] {
        static struct agent_config cfg;
        cfg.ac_logdir = cfg.ac_rundir = cfg.ac_confdir = cfg.ac_homedir =
            strdup(dir.path().c_str());
        agent_cfg = &cfg;
        sysfini_run();  // before sysinit_run: nothing
        sysinit_run();
        for (auto **p = sysinit_set_begin(false); p < sysinit_set_end(false); p++)
            CHILD_CHECK((*p)->subsystem == (strcmp((*p)->name, "placeholder") ? 1u : 0u));
        CHILD_CHECK(event_core_queue != nullptr && event_msgs == event_msg_table);
        CHILD_CHECK(mbuf_pool_get() != nullptr && mbuf_pool_get()->np_max == 4);
        const int armed_free = callout_free_count();  // modules arm their own
        timeout([](void *) {}, nullptr, 5000);
        sysinit_run();  // softclock_init again would empty the wheel
        CHILD_CHECK(callout_free_count() == armed_free - 1);
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
