// The metadata store under load from several threads: producers create,
// write and destroy flow groups (with and without applications), record
// connections and post events; consumers hold the export side and walk it
// twice, checking that it does not change under them and holds only whole
// earlier intervals; an updater runs cycles as fast as it can.  Run under
// ThreadSanitizer and AddressSanitizer in CI: a copy freed while a consumer
// can reach it, or a store list changed without its lock, is reported
// there.  A watchdog ends the program if the threads deadlock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "core/agent_config.h"
#include "core/kern_timeout.h"
#include "core/kv_metadata.h"
#include "core/kv_metadata_internal.h"

namespace {

struct kv_var vars[] = {{"a", KV_T_U64, 0, 8, 0, 0, 0}, {"b", KV_T_U64, 0, 8, 0, 0, 8}};
struct kv_head head = {"cc", 0, 0, 2, {}, 0, nullptr, vars, nullptr, nullptr, {}};
struct agent_config cfg;

std::atomic<bool> producing{true};

// One walk of the export side: each copy with its two values and cycle.
struct seen {
    struct kv_metadata *copy;
    uint64_t a, b, cycle;
    bool operator==(const seen &) const = default;
};

void note(void *arg, struct kv_metadata *c) {
    struct kv_record *v = kv_metadata_values(c);
    static_cast<std::vector<seen> *>(arg)->push_back(
        {c, v[0].kr_value.u64, v[1].kr_value.u64, c->kmd_update_cycle});
}

void producer(int id, int ops) {
    std::mt19937 rng(id);
    std::vector<struct kv_metadata *> mine;
    std::vector<struct kv_dpi_data *> dpi;
    uint64_t stamp = 0;
    for (int i = 0; i < ops; i++) {
        if (i % 256 == 0) std::this_thread::yield();
        unsigned r = rng() % 16;
        if (r < 4 || mine.empty()) {
            struct kv_flow_key k = {};
            k.fk_src = uint32_t(id);
            k.fk_dst = uint32_t(i);
            k.fk_appid = r % 2 ? uint32_t(1 + rng() % 3) : 0;  // shared across producers
            k.fk_pid = rng() % 2;
            struct kv_metadata *fg = kv_metadata_create(&k, KVMD_T_FLOWGROUP, &head);
            ASSERT_NE(fg, nullptr);
            mine.push_back(fg);
        } else if (r < 11) {
            struct kv_record v[2] = {};
            v[0].kr_value.u64 = v[1].kr_value.u64 = ++stamp;  // a torn write shows a != b
            kv_metadata_export_events(mine[rng() % mine.size()], v);
        } else if (r < 14) {
            size_t at = rng() % mine.size();
            kv_metadata_flowgroup_destroy(mine[at]);
            mine[at] = mine.back();
            mine.pop_back();
        } else if (r == 14) {
            if (dpi.size() < 8) {
                struct kv_flow_key k = {};
                k.fk_appid = 1;
                dpi.push_back(kv_dpi_data_create(&k));
            }
            struct kv_dpi_data *dd = dpi[rng() % dpi.size()];
            struct kv_dpi_conn c = {1, 1, uint32_t(rng() % 32), 2, 2};
            ip_flow_dpi_kvmd_cb(dd, &c, 4);
        } else {
            struct kv_md_msg m = {};
            m.km_kind = KVMD_MSG_EVENT;
            m.km_len = 3;
            m.km_data = "abc";
            kv_metadata_export_events(nullptr, &m);
        }
    }
    for (struct kv_metadata *fg : mine)
        kv_metadata_flowgroup_destroy(fg);
    for (struct kv_dpi_data *dd : dpi)
        kv_dpi_data_destroy(dd);
}

void consumer(std::atomic<long> *walks) {
    uint64_t dpi_since = 0;
    do {
        std::vector<seen> first, again, app;
        kv_metadata_export_api_lock_list_head();
        const uint64_t cycle = n_counter_get(kvmd_store.update_cycle);
        kv_metadata_export_list(KVMD_T_FLOWGROUP, &first, note);
        std::this_thread::yield();
        kv_metadata_export_list(KVMD_T_FLOWGROUP, &again, note);
        for (uint32_t appid = 1; appid <= 3; appid++)
            kv_metadata_export_app_flowgroups(appid, 0, KVMD_T_FLOWGROUP, &app, note);
        EXPECT_EQ(n_counter_get(kvmd_store.update_cycle), cycle);
        kv_metadata_export_api_unlock_list_head();
        EXPECT_EQ(first, again) << "the export side changed while held";
        for (const std::vector<seen> *w : {&first, &app})
            for (const seen &s : *w) {
                EXPECT_EQ(s.a, s.b);
                EXPECT_LT(s.cycle, cycle) << "a value of the current interval is exported";
            }
        kv_dpi_data_export(&dpi_since, 1, nullptr, [](void *, void *, int, int) {});
        kv_metadata_events_iterate(0, nullptr, [](void *, struct kv_md_event *) {});
        (*walks)++;
        // Room for the updater between holds (it waits for the last one).
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    } while (producing.load());
}

void updater(std::atomic<long> *cycles) {
    while (producing.load()) {
        n_counter_set(ticks, n_counter_get(ticks) + kvmd_store.update_interval);
        const uint64_t before = n_counter_get(kvmd_store.update_cycle);
        kv_metadata_store_update();
        if (n_counter_get(kvmd_store.update_cycle) != before) (*cycles)++;
        std::this_thread::yield();
    }
}

TEST(KvMetadataConcurrent, ProducersConsumersAndCyclesNeverShareACopy) {
    ticks = 1000000;
    softclock_init(nullptr);
    cfg.ac_md_update_interval = 1;
    cfg.ac_flow_dpi_md = 1;
    agent_cfg = &cfg;
    kv_metadata_mod_init(nullptr);

    // Fails the program instead of hanging it: generous, for a loaded
    // machine and the sanitizers.
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> l(m);
        if (!cv.wait_for(l, std::chrono::seconds(240), [&] { return done; })) {
            fprintf(stderr, "watchdog: the store's threads did not finish (deadlock?)\n");
            abort();
        }
    });

    std::atomic<long> walks{0}, cycles{0};
    std::vector<std::thread> producers, others;
    for (int id = 1; id <= 2; id++)
        producers.emplace_back(producer, id, 100000);
    for (int i = 0; i < 2; i++)
        others.emplace_back(consumer, &walks);
    others.emplace_back(updater, &cycles);
    for (auto &t : producers)
        t.join();
    producing = false;
    for (auto &t : others)
        t.join();

    // Two more cycles free the last exported copies.
    for (int i = 0; i < 2; i++) {
        n_counter_set(ticks, n_counter_get(ticks) + kvmd_store.update_interval);
        kv_metadata_store_update();
    }
    EXPECT_GT(walks.load(), 0);
    EXPECT_GE(n_counter_get(kvmd_store.update_cycle), 3u);
    EXPECT_EQ(kvmd_stats.apps, 0u);
    EXPECT_EQ(kvmd_stats.existing, 0u);
    EXPECT_EQ(kvmd_store.store_in_use, 0);
    EXPECT_TRUE(kvmd.active->empty() && kvmd.exported->empty() && kvmd.incoming->empty());
    printf("%ld consumer walks, %ld cycles by the updater\n", walks.load(), cycles.load());
    {
        std::lock_guard<std::mutex> l(m);
        done = true;
    }
    cv.notify_one();
    watchdog.join();
}

}  // namespace
