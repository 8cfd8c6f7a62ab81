// Allocation failures in the metadata store: each is reported with its own
// message, leaves no object allocated or linked and no counter moved but
// its error count, and the same call succeeds once memory is back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "core/agent_config.h"
#include "core/kern_timeout.h"
#include "core/kv_metadata.h"
#include "core/kv_metadata_internal.h"
#include "core/nmem.h"
#include "support/fail_alloc.h"
#include "support/test_support.h"

namespace {

using ::testing::HasSubstr;

struct kv_var vars[] = {{"v", KV_T_U64, 0, 8, 0, 0, 0}};
struct kv_head head = {"af", 0, 0, 1, {}, 0, nullptr, vars, nullptr, nullptr, {}};
struct agent_config cfg;
struct kv_flow_key fkey = {};
struct kv_dpi_data *dd;

// Events, status records and IP records queued.
size_t queued() {
    size_t n = 0;
    for (struct kv_md_event *e : kvmd.events)
        n += e != nullptr;
    for (struct kv_md_cfg_status *c : kvmd.cfg)
        n += c != nullptr;
    for (struct kv_md_ip *c : kvmd.ip)
        n += c != nullptr;
    return n;
}

bool post_event() {
    const uint64_t before = kvmd_stats.events;
    struct kv_md_msg m = {};
    m.km_kind = KVMD_MSG_EVENT;
    m.km_len = 2;
    m.km_data = "ab";
    kv_metadata_export_events(nullptr, &m);
    return kvmd_stats.events == before + 1;
}

bool add_status() {
    const uint64_t before = kvmd_stats.cfg_status;
    config_status_update(1, KVMD_CFG_ADD, 1, 0);
    return kvmd_stats.cfg_status == before + 1;
}

struct fail_case {
    const char *name;
    long nth;
    const char *said;
    std::function<bool()> call;  // true when the call made its object
    uint64_t *err_counter;       // grows by 1 on the failure, or null
};

TEST(MetadataStoreAllocFail, EveryFailureIsReportedAndLeavesTheStoreAsItWas) {
    ticks = 1000000;
    softclock_init(nullptr);
    cfg.ac_flow_dpi_md = 1;
    agent_cfg = &cfg;
    kv_metadata_mod_init(nullptr);
    fkey.fk_appid = 5;
    fkey.fk_pid = 9;
    dd = kv_dpi_data_create(&fkey);
    struct kv_metadata *made = nullptr;
    uint32_t from = 0;

    const fail_case cases[] = {
        {"first copy", 1, "ERROR kv_metadata_create : alloc failed",
         [&] { return (made = kv_metadata_create(&fkey, KVMD_T_FLOWGROUP, &head)) != nullptr; },
         nullptr},
        {"second copy", 2, "ERROR kv_metadata_create : alloc failed",
         [&] { return (made = kv_metadata_create(&fkey, KVMD_T_FLOWGROUP, &head)) != nullptr; },
         nullptr},
        {"application record", 3, "ERROR kv_metadata_app_alloc: alloc failed",
         [&] { return (made = kv_metadata_create(&fkey, KVMD_T_FLOWGROUP, &head)) != nullptr; },
         &kvmd_stats.allocerr},
        {"recent object", 1, "ERROR kv_metadata_create : alloc failed",
         [&] { return (made = kv_metadata_create(&fkey, KVMD_T_RECENT, &head)) != nullptr; },
         nullptr},
        {"IP record", 1, "ERROR kv_metadata_create_ip: Error in kv_md_ip  alloc",
         [&] {
             uint8_t sa[16] = {2};
             return kv_metadata_create_object(KVMD_T_IP, sa) != nullptr;
         },
         nullptr},
        {"FGCC record", 1, "ERROR kv_dpi_data_create : alloc failed",
         [&] {
             struct kv_dpi_data *d = kv_dpi_data_create(&fkey);
             if (d != nullptr) kv_dpi_data_destroy(d);
             return d != nullptr;
         },
         nullptr},
        {"connection entry", 1, "ERROR ip_flow_dpi_kvmd_cb: Alloc failed.",
         [&] {
             struct kv_dpi_conn c = {5, 1, from++, 2, 2};
             return ip_flow_dpi_kvmd_cb(dd, &c, 8) == 0;
         },
         nullptr},
        {"event record", 1, "ERROR kv_metadata_export_events: Failed to alloc memory", post_event,
         &kvmd_stats.events_err},
        {"event data", 2, "ERROR kv_metadata_export_events: Failed to alloc memory", post_event,
         &kvmd_stats.events_err},
        {"status message", 1, "ERROR config_status_update: Memory Allocation failed", add_status,
         nullptr},
        {"status record", 2, "ERROR kv_metadata_export_config_status: Failed to allocate memory",
         add_status, nullptr},
    };
    for (const fail_case &c : cases) {
        SCOPED_TRACE(c.name);
        const uint64_t objs = n_counter_get(nmem_stats.ns_alloced_objs);
        const uint64_t existing = kvmd_stats.existing, apps = kvmd_stats.apps;
        const uint64_t allocs = kvmd_stats.allocs, cc = dd->cc_count;
        const size_t q = queued();
        const uint64_t err = c.err_counter ? *c.err_counter : 0;
        bool ok = true;
        std::string out = qt::echoed([&] {
            qt::FailAlloc f(c.nth);
            ok = c.call();
            EXPECT_FALSE(qt::fail_alloc_pending());
        });
        EXPECT_FALSE(ok);
        EXPECT_THAT(out, HasSubstr(c.said));
        EXPECT_EQ(n_counter_get(nmem_stats.ns_alloced_objs), objs);
        EXPECT_EQ(kvmd_stats.existing, existing);
        EXPECT_EQ(kvmd_stats.allocs, allocs);
        EXPECT_EQ(kvmd_stats.apps, apps);
        EXPECT_EQ(dd->cc_count, cc);
        EXPECT_EQ(queued(), q);
        EXPECT_TRUE(kvmd.active->empty() && kvmd.incoming->empty() && kvmd.apps_new.empty());
        if (c.err_counter) {
            EXPECT_EQ(*c.err_counter, err + 1);
        }
        made = nullptr;
        EXPECT_TRUE(c.call());
        if (made != nullptr) kv_metadata_destroy(made);
    }
}

}  // namespace
