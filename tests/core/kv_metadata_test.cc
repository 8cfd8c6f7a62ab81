// Metadata store life cycles from one thread: flow groups and their copies
// through update cycles, application records, IP and FGCC records, events
// and configuration status with their expiry, the file export and the text
// form.  The store is started once; every test leaves it empty.
#include "core/kv_metadata.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/agent_config.h"
#include "core/child.h"
#include "core/kern_timeout.h"
#include "core/kv_metadata_internal.h"
#include "core/logging.h"
#include "support/test_support.h"

namespace {

using ::testing::HasSubstr;

struct kv_var fg_vars[] = {{"bytes", KV_T_U64, 0, 8, 0, 0, 0}, {"pkts", KV_T_U64, 0, 8, 0, 0, 8}};
struct kv_head fg_head = {"fg", 0, 0, 2, {}, 0, nullptr, fg_vars, nullptr, nullptr, {}};
struct kv_head none = {"none", 0, 0, 0, {}, 0, nullptr, nullptr, nullptr, nullptr, {}};

time_t wall = 1700000000;
time_t test_clock() {
    return wall;
}

struct agent_config cfg;

struct KvMetadata : ::testing::Test {
    static void SetUpTestSuite() {
        ticks = 1000000;
        softclock_init(nullptr);
        cfg.ac_md_update_interval = 10;
        cfg.ac_flow_dpi_md = 1;
        agent_cfg = &cfg;
        kvmd_wall_clock = test_clock;
        kv_metadata_mod_init(nullptr);
    }
    void SetUp() override { cycle(); }
    void TearDown() override {
        cycle();
        cycle();  // pending copies of the test are gone now
        EXPECT_EQ(kvmd_stats.existing, 0u);
        EXPECT_EQ(kvmd_stats.apps, 0u);
        EXPECT_TRUE(kvmd.active->empty() && kvmd.exported->empty() && kvmd.pending.empty());
    }
    // Runs one due update cycle.
    static void cycle() {
        if (ticks < kvmd_store.next_update_time) ticks = kvmd_store.next_update_time;
        kv_metadata_store_update();
    }
    // Moves ticks on by s seconds, firing callouts.
    static void advance(int s) {
        for (uint64_t end = ticks + uint64_t(s) * 1000000; ticks < end; softclock())
            ticks += 100000;
    }
    // Moves ticks on until the two expiry callouts have just run.
    static void sync_expiry() {
        for (uint64_t f = kvmd_stats.cfg_flush; kvmd_stats.cfg_flush == f; softclock())
            ticks += 100000;
    }
};

struct kv_flow_key key(uint32_t appid, uint64_t pid, uint16_t port = 80) {
    struct kv_flow_key k = {};
    k.fk_src = htonl(0x0a000001);
    k.fk_dst = htonl(0x0a000002);
    k.fk_dport = htons(port);
    k.fk_appid = appid;
    k.fk_pid = pid;
    return k;
}

std::vector<struct kv_metadata *> walked;
void collect(void *, struct kv_metadata *o) {
    walked.push_back(o);
}
std::vector<struct kv_metadata *> exported_list() {
    walked.clear();
    kv_metadata_export_list(KVMD_T_FLOWGROUP, nullptr, collect);
    return walked;
}
std::vector<struct kv_metadata *> app_flowgroups(uint32_t appid, uint64_t pid) {
    walked.clear();
    kv_metadata_export_app_flowgroups(appid, pid, KVMD_T_FLOWGROUP, nullptr, collect);
    return walked;
}

void store_values(struct kv_metadata *o, uint64_t bytes) {
    struct kv_record r[2] = {};
    r[0].kr_value.u64 = bytes;
    kv_metadata_export_events(o, r);
}

// Where each copy is after each step is the fuzz target's model; here the
// values and the deferred destroy.
TEST_F(KvMetadata, ValuesReachConsumersOneCycleLaterAndTheExportedCopyOutlivesItsFlowGroup) {
    const uint64_t allocs = kvmd_stats.allocs;
    struct kv_flow_key k = key(0, 0);
    struct kv_metadata *fg = kv_metadata_create(&k, KVMD_T_FLOWGROUP, &fg_head);
    EXPECT_EQ(kvmd_stats.allocs - allocs, 2u);  // appid 0: no application record
    struct kv_metadata *active = kv_metadata_flowgroup_find(nullptr, &k, KVMD_T_FLOWGROUP);
    // Values go to the active copy whichever copy is named.
    store_values(active->kmd_twin, 11);
    EXPECT_EQ(kv_metadata_values(active)[0].kr_value.u64, 11u);
    EXPECT_TRUE(exported_list().empty());
    cycle();
    EXPECT_EQ(exported_list(), std::vector<struct kv_metadata *>{active});
    store_values(active, 22);  // lands in the new active copy
    EXPECT_EQ(kv_metadata_values(active)[0].kr_value.u64, 11u);
    cycle();
    struct kv_metadata *exp = exported_list().at(0);
    EXPECT_EQ(kv_metadata_values(exp)[0].kr_value.u64, 22u);

    // Destroyed through the exported copy: the active one goes at once, the
    // exported one stays readable until the next cycle frees it.
    const uint64_t frees = kvmd_stats.frees, deleted = kvmd_store.elems_deleted;
    kv_metadata_flowgroup_destroy(fg == exp ? fg : fg->kmd_twin);
    EXPECT_EQ(kvmd_stats.frees - frees, 1u);
    EXPECT_EQ(exported_list(), std::vector<struct kv_metadata *>{exp});
    store_values(exp, 33);  // no active copy left: nothing written
    EXPECT_EQ(kv_metadata_values(exp)[0].kr_value.u64, 22u);
    std::string out = qt::echoed([&] { kv_metadata_flowgroup_destroy(exp); });
    EXPECT_THAT(out, HasSubstr("ERROR kv_metadata_flowgroup_destroy: flow group already destroyed"));
    cycle();
    EXPECT_EQ(kvmd_stats.frees - frees, 2u);
    EXPECT_EQ(kvmd_store.elems_deleted - deleted, 1u);
    EXPECT_TRUE(exported_list().empty());
}

TEST_F(KvMetadata, ApplicationRecordsAreSharedWithinAnIntervalAndFollowTheirLastReference) {
    struct kv_flow_key k1 = key(7, 100, 80), k2 = key(7, 100, 443), k3 = key(7, 100, 8080);
    const uint64_t pids = kvmd_store.new_pids_added;
    struct kv_metadata *a = kv_metadata_create(&k1, KVMD_T_FLOWGROUP, &fg_head);
    struct kv_metadata *b = kv_metadata_create(&k2, KVMD_T_FLOWGROUP, &fg_head);
    struct kv_metadata *app = a->kmd_fg.kmdfg_app;
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(b->kmd_fg.kmdfg_app, app);
    EXPECT_EQ(app->kmd_app.kmda_ref_count, 4u);
    EXPECT_EQ(kvmd_stats.apps, 1u);
    EXPECT_EQ(kv_metadata_app_find(7, 100, 1), app);
    EXPECT_EQ(kv_metadata_app_find(7, 0, 0), nullptr);  // not published yet
    EXPECT_TRUE(app_flowgroups(7, 0).empty());

    cycle();
    EXPECT_EQ(kvmd_store.new_pids_added - pids, 1u);
    EXPECT_EQ(kv_metadata_app_find(7, 0, 0), app);
    EXPECT_EQ(app_flowgroups(7, 0).size(), 2u);
    EXPECT_EQ(app_flowgroups(7, 100).size(), 2u);
    EXPECT_TRUE(app_flowgroups(7, 101).empty());
    EXPECT_TRUE(exported_list().empty());  // only flow groups without an application
    // Only the new list is searched: a later flow group gets its own record.
    struct kv_metadata *c = kv_metadata_create(&k3, KVMD_T_FLOWGROUP, &fg_head);
    EXPECT_NE(c->kmd_fg.kmdfg_app, app);
    EXPECT_EQ(kvmd_stats.apps, 2u);

    // An application record is released by reference only.
    std::string out = qt::echoed([&] { kv_metadata_destroy(app); });
    EXPECT_THAT(out, HasSubstr("ERROR kv_metadata_destroy:"));
    kv_metadata_destroy(a);
    kv_metadata_destroy(b);
    EXPECT_EQ(app->kmd_app.kmda_ref_count, 2u);  // the two exported copies
    kv_metadata_flowgroup_destroy(c);
    EXPECT_EQ(kvmd_stats.apps, 1u);
    cycle();
    EXPECT_EQ(kvmd_stats.apps, 0u);
    EXPECT_EQ(kv_metadata_app_find(7, 0, 0), nullptr);
}

TEST_F(KvMetadata, ReferenceCountHoldsPast65535) {
    std::vector<struct kv_metadata *> fgs;
    for (uint16_t i = 0; i < 32769; i++) {
        struct kv_flow_key k = key(9, 1, i);
        fgs.push_back(kv_metadata_create(&k, KVMD_T_FLOWGROUP, &none));
    }
    struct kv_metadata *app = fgs[0]->kmd_fg.kmdfg_app;
    EXPECT_EQ(app->kmd_app.kmda_ref_count, 65538u);
    for (size_t i = 1; i < fgs.size(); i++)
        kv_metadata_flowgroup_destroy(fgs[i]);
    EXPECT_EQ(app->kmd_app.kmda_ref_count, 2u);
    EXPECT_EQ(kvmd_stats.apps, 1u);
    kv_metadata_flowgroup_destroy(fgs[0]);
}

TEST_F(KvMetadata, UpdateCycleSkipsOnceWhileHeldThenWaitsForTheLastConsumer) {
    EXPECT_EQ(kv_metadata_interval_usec(10), 10100000u);
    EXPECT_EQ(kv_metadata_interval_usec(119), 119100000u);
    EXPECT_EQ(kv_metadata_interval_usec(120), 5000000u);
    EXPECT_EQ(kvmd_store.update_interval, 10100000u);

    const uint64_t cyc = kvmd_store.update_cycle, waits = kvmd_store.store_in_use_count;
    ticks = kvmd_store.next_update_time - 1;
    kv_metadata_store_update();  // not due
    EXPECT_EQ(kvmd_store.update_cycle, cyc);
    kv_metadata_export_api_lock_list_head();
    kv_metadata_export_api_lock_list_head();
    cycle();  // skipped once, without waiting
    EXPECT_EQ(kvmd_store.update_cycle, cyc);
    EXPECT_EQ(kvmd_store.missed_updates, 1);
    std::thread updater([] { kv_metadata_store_update(); });  // waits
    kv_metadata_export_api_unlock_list_head();
    while (n_counter_get(kvmd_store.store_in_use_count) == waits)
        usleep(1000);
    EXPECT_EQ(n_counter_get(kvmd_store.update_cycle), cyc);
    kv_metadata_export_api_unlock_list_head();
    updater.join();
    EXPECT_EQ(kvmd_store.update_cycle, cyc + 1);
    EXPECT_EQ(kvmd_store.missed_updates, 0);
    EXPECT_GE(kvmd_store.store_in_use_count - waits, 1u);
    EXPECT_EQ(kvmd_store.next_update_time, ticks + 10100000);
    kv_metadata_store_update();  // once per interval
    EXPECT_EQ(kvmd_store.update_cycle, cyc + 1);
    EXPECT_DEATH(kv_metadata_export_api_unlock_list_head(), "kvmd_store.store_in_use >=0");
}

std::vector<std::string> ip_seen;
void ip_collect(void *, struct kv_md_ip *ip) {
    ip_seen.push_back(ip->ip);
}
int set_fqdn(void *rec, void *arg) {
    if (arg == nullptr) return 1;
    snprintf(static_cast<struct kv_md_ip *>(rec)->fqdn, 1025, "%s", static_cast<char *>(arg));
    return 0;
}

struct kv_md_ip *make_ip(const char *text) {
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, text, &sa.sin_addr);
    struct kv_md_ip *ip = kv_metadata_create_object(KVMD_T_IP, &sa);
    snprintf(ip->ip, sizeof(ip->ip), "%s", text);
    return ip;
}

TEST_F(KvMetadata, IpRecordsStayNewestFirstAndExportOnlyWhatIsNewer) {
    ticks += 10;
    struct kv_md_ip *a = make_ip("10.0.0.1");
    ticks += 10;
    struct kv_md_ip *b = make_ip("10.0.0.2");
    EXPECT_EQ(a->version, 1);
    uint64_t since = 0;
    ip_seen.clear();
    EXPECT_EQ(kv_metadata_ip_export(&since, nullptr, ip_collect), 0);
    EXPECT_EQ(ip_seen, (std::vector<std::string>{"10.0.0.2", "10.0.0.1"}));
    EXPECT_EQ(since, b->ts);
    EXPECT_EQ(kv_metadata_ip_export(&since, nullptr, ip_collect), -1);  // nothing newer
    EXPECT_EQ(ip_seen.size(), 2u);

    ticks += 10;
    const uint64_t ts = a->ts;
    kv_metadata_update(KVMD_T_IP, a, set_fqdn, nullptr);  // no change: keeps ts and place
    EXPECT_EQ(a->ts, ts);
    EXPECT_EQ(kvmd.ip.first(), b);
    kv_metadata_update(KVMD_T_IP, a, set_fqdn, (void *)"host.a");
    EXPECT_EQ(a->ts, ticks);
    EXPECT_EQ(kvmd.ip.first(), a);
    ip_seen.clear();
    EXPECT_EQ(kv_metadata_ip_export(&since, nullptr, ip_collect), 0);
    EXPECT_EQ(ip_seen, std::vector<std::string>{"10.0.0.1"});

    EXPECT_EQ(kv_metadata_create_object(3, a), nullptr);  // IP records only
    kv_metadata_destroy_internal(KVMD_T_IP, a);
    kv_metadata_destroy_internal(KVMD_T_IP, b);
    EXPECT_TRUE(kvmd.ip.empty());
}

const struct kv_dpi_conn conn(uint32_t from) {
    return {5, 1, from, 2, 2};
}

std::vector<std::string> dpi_seen;
void dpi_collect(void *, void *item, int kind, int index) {
    if (kind == 9)
        dpi_seen.push_back("fg" + std::to_string(static_cast<kv_dpi_data *>(item)->fg_ts) + "@" +
                           std::to_string(index));
    else
        dpi_seen.push_back("cc" + std::to_string(static_cast<kv_dpi_cc *>(item)->conn.from_id));
}

TEST_F(KvMetadata, ConnectionCacheReusesTheOldestEntryAndNeverGrowsPastItsLimit) {
    struct kv_flow_key k = key(5, 1);
    struct kv_dpi_data *dd = kv_dpi_data_create(&k);
    struct kv_dpi_conn c1 = conn(1), c2 = conn(2), c3 = conn(3);
    EXPECT_EQ(ip_flow_dpi_kvmd_cb(dd, &c1, 0), 1);  // no room: nothing recorded
    EXPECT_EQ(ip_flow_dpi_kvmd_cb(dd, &c1, -4), 1);
    EXPECT_EQ(dd->cc_count, 0);
    EXPECT_EQ(ip_flow_dpi_kvmd_cb(dd, &c1, 2), 0);
    EXPECT_EQ(ip_flow_dpi_kvmd_cb(dd, &c1, 2), 1);  // known: not refreshed
    EXPECT_EQ(ip_flow_dpi_kvmd_cb(dd, &c2, 2), 0);
    EXPECT_EQ(ip_flow_dpi_kvmd_cb(dd, &c3, 2), 2);  // full: the oldest (c1) is reused
    EXPECT_EQ(dd->cc_count, 2);
    EXPECT_EQ(dd->cc_lru.first()->conn.from_id, 3u);
    EXPECT_EQ(kv_dpi_cc_list::next(dd->cc_lru.first())->conn.from_id, 2u);
    EXPECT_EQ(ip_flow_dpi_kvmd_cb(dd, &c1, 1), 2);  // a lowered limit reuses, never grows
    EXPECT_EQ(dd->cc_count, 2);
    cfg.ac_flow_dpi_md = 0;
    struct kv_dpi_conn c4 = conn(4);
    EXPECT_EQ(ip_flow_dpi_kvmd_cb(dd, &c4, 9), 0);
    EXPECT_EQ(dd->cc_count, 2);
    cfg.ac_flow_dpi_md = 1;

    // The export walks the whole list for records newer than since, with
    // the full appid, and moves since to the newest record seen.
    struct kv_flow_key k2 = key(5 + 65536, 1);
    struct kv_dpi_data *other = kv_dpi_data_create(&k2);  // head of the list
    struct kv_dpi_data *third = kv_dpi_data_create(&k);
    third->fg_ts = 3;  // head, older than dd
    dd->fg_ts = 9;
    other->fg_ts = 12;
    uint64_t since = 2;
    dpi_seen.clear();
    EXPECT_EQ(kv_dpi_data_export(&since, 5, nullptr, dpi_collect), 0);
    EXPECT_EQ(dpi_seen, (std::vector<std::string>{"fg3@0", "fg9@1", "cc1", "cc3"}));
    EXPECT_EQ(since, 12u);
    EXPECT_EQ(kv_dpi_data_export(&since, 5, nullptr, dpi_collect), -1);
    // A callback may destroy the record it is given.
    since = 0;
    kv_dpi_data_export(&since, 5, nullptr, [](void *, void *item, int kind, int) {
        if (kind == 9) kv_dpi_data_destroy(static_cast<kv_dpi_data *>(item));
    });
    EXPECT_EQ(kvmd.dpi.first(), other);
    kv_dpi_data_destroy(other);
    EXPECT_TRUE(kvmd.dpi.empty());
}

std::vector<std::string> ev_seen;
void ev_collect(void *, struct kv_md_event *ev) {
    ev_seen.push_back(std::to_string(ev->ev_code) + ":" + std::to_string(ev->ev_len) + ":" +
                      std::to_string(strlen(ev->ev_data)));
}

void post_event(uint16_t code, int32_t len, const void *data) {
    struct kv_md_msg m = {};
    m.km_kind = KVMD_MSG_EVENT;
    m.km_code = code;
    m.km_len = len;
    m.km_data = data;
    kv_metadata_export_events(nullptr, &m);
}

TEST_F(KvMetadata, EventsKeepTheirDataAndExpireAt91Seconds) {
    const uint64_t events = kvmd_stats.events, errs = kvmd_stats.events_err;
    std::string data(300, 'x');
    sync_expiry();
    const time_t w = wall;
    const uint32_t t0 = uint32_t(w);
    post_event(1, 300, data.data());  // length byte 44, all 300 bytes kept
    std::string out = qt::echoed([&] {
        post_event(9, -1, data.data());
        post_event(9, INT32_MAX, data.data());
        post_event(9, 4, nullptr);
    });
    EXPECT_EQ(qt::count_of(out, "ERROR kv_metadata_export_events:"), 3u);
    EXPECT_EQ(kvmd_stats.events_err - errs, 3u);
    post_event(2, 0, nullptr);
    wall = w + 1;
    post_event(3, 2, "ab");
    EXPECT_EQ(kvmd_stats.events - events, 3u);
    ev_seen.clear();
    kv_metadata_events_iterate(0, nullptr, ev_collect);
    EXPECT_EQ(ev_seen, (std::vector<std::string>{"1:44:300", "2:0:0", "3:2:2"}));
    ev_seen.clear();
    kv_metadata_events_iterate(t0, nullptr, ev_collect);  // strictly newer
    EXPECT_EQ(ev_seen, std::vector<std::string>{"3:2:2"});

    // The expiry callout runs every 90 s.  A clock stepped back expires
    // nothing; then the first two are 91 s old, the third 90 s and stays.
    wall = w - 1000;
    advance(90);
    EXPECT_EQ(kvmd_stats.events - events, 3u);
    wall = w + 91;
    advance(90);
    ev_seen.clear();
    kv_metadata_events_iterate(0, nullptr, ev_collect);
    EXPECT_EQ(ev_seen, std::vector<std::string>{"3:2:2"});
    EXPECT_EQ(kvmd_stats.events - events, 1u);
    wall = w + 300;
    advance(90);
    EXPECT_EQ(kvmd_stats.events, events);
}

std::vector<std::string> cs_seen;
void cs_collect(void *, struct kv_md_cfg_status *cs) {
    cs_seen.push_back(std::to_string(cs->cs_id) + ":" + std::to_string(cs->cs_status) + ":" +
                      std::to_string(cs->cs_detail));
}

TEST_F(KvMetadata, ConfigStatusRecordsUpdateByIdAndOnlyStatusOneAndTwoExpire) {
    const uint64_t n = kvmd_stats.cfg_status, exp = kvmd_stats.cfg_expires;
    sync_expiry();
    const uint64_t flush = kvmd_stats.cfg_flush;
    const time_t w = wall;
    config_status_update(1, KVMD_CFG_ADD, 1, 0);
    config_status_update(2, KVMD_CFG_ADD, 3, 0);
    config_status_update(1, KVMD_CFG_ADD, 2, 0);
    config_status_update(2, KVMD_CFG_UPDATE, 3, 8);
    config_status_update(2, 7, 1, 1);  // unknown operation: nothing
    cs_seen.clear();
    EXPECT_EQ(kv_metadata_config_status_find(nullptr, 2, cs_collect), 0);
    EXPECT_EQ(kv_metadata_config_status_find(nullptr, 4, cs_collect), -1);
    kv_metadata_config_status_iterate(nullptr, cs_collect);
    EXPECT_EQ(cs_seen, (std::vector<std::string>{"2:3:8", "1:1:0", "2:3:8", "1:2:0"}));
    EXPECT_EQ(kvmd_stats.cfg_status - n, 3u);
    wall = w + 90;
    advance(90);  // 90 s old: kept
    EXPECT_EQ(kvmd_stats.cfg_expires, exp);
    wall = w + 91;
    advance(90);
    cs_seen.clear();
    kv_metadata_config_status_iterate(nullptr, cs_collect);
    EXPECT_EQ(cs_seen, std::vector<std::string>{"2:3:8"});  // status 3 never expires
    EXPECT_EQ(kvmd_stats.cfg_expires - exp, 2u);
    EXPECT_EQ(kvmd_stats.cfg_flush - flush, 2u);
    config_status_update(2, KVMD_CFG_UPDATE, 1, 0);
    wall = w + 300;
    advance(90);
    EXPECT_EQ(kvmd_stats.cfg_status, n);
}

std::string dump(const void *obj, int kind) {
    char *buf;
    size_t len;
    FILE *f = open_memstream(&buf, &len);
    kv_metadata_dump(f, obj, kind);
    fclose(f);
    std::string s(buf, len);
    free(buf);
    return s;
}

std::vector<std::string> file_out;
void file_export_fn(void *state, void *obj, int source) {
    file_out.push_back(std::to_string(source) + " " +
                       dump(obj, static_cast<struct kvmd_export_state *>(state)->kind));
}

TEST_F(KvMetadata, DumpTextAndTheFileExport) {
    struct kv_flow_key k = key(5, 1);
    struct kv_dpi_data *dd = kv_dpi_data_create(&k);
    struct kv_dpi_conn c = {5, 1, 1, 2, 2};
    ip_flow_dpi_kvmd_cb(dd, &c, 4);
    dd->cc_lru.first()->ts = 7;
    EXPECT_EQ(dump(dd, 4),
              "FGCC=appid:5,src:10.0.0.1,dst:10.0.0.2,dport:80,proto=:tcp,fg_ts:0,cc_count:1,"
              "cc_lru:{[0:CC=ts:7,appid:5,(from:A1)->(to:C2)]}");
    struct kv_dpi_conn c2 = {6, 3, 4, 10, 12};
    ip_flow_dpi_kvmd_cb(dd, &c2, 4);
    dd->cc_lru.first()->ts = 8;
    EXPECT_THAT(dump(dd, 4), HasSubstr("cc_lru:{[0:CC=ts:8,appid:6,(from:U4)->(to:C12)]--[1:"));
    struct kv_md_ip *ip = make_ip("10.0.0.9");
    ip->ts = 4;
    EXPECT_EQ(dump(ip, 3), "IP=ts:4,ip:10.0.0.9,fqdn:");
    memset(ip->fqdn, 'h', sizeof(ip->fqdn));  // unterminated: bounded by its size
    EXPECT_EQ(dump(ip, 3).size(), std::string("IP=ts:4,ip:10.0.0.9,fqdn:").size() + 1025);
    ip->fqdn[0] = 0;
    struct kv_md_ip *ip2 = make_ip("10.0.0.10");
    ip2->ts = 5;
    EXPECT_EQ(dump(&kvmd.ip, 7), "LIST={[0:IP=ts:5,ip:10.0.0.10,fqdn:]--[1:IP=ts:4,ip:10.0.0.9,fqdn:]}");
    EXPECT_THAT(dump(&kvmd.dpi, 6), HasSubstr("LIST={[0:FGCC=appid:5,"));
    EXPECT_EQ(dump(ip, 5), "");

    // On only once the export descriptor is there; kinds 6 and 7 at once,
    // then each effective IP update as kind 3.
    std::string out = qt::echoed(kv_metadata_file_export_toggle);
    EXPECT_THAT(out, HasSubstr("ERROR Error getting file export"));
    EXPECT_EQ(kv_metadata_file_export_on(), 0);
    kv_metadata_update(KVMD_T_IP, ip, set_fqdn, (void *)"x");  // nothing called
    static struct kv_export exp = {0, file_export_fn, {}};
    kv_export_register(&exp);
    file_out.clear();
    kv_metadata_file_export_toggle();
    EXPECT_EQ(kv_metadata_file_export_on(), 1);
    ASSERT_EQ(file_out.size(), 2u);
    EXPECT_THAT(file_out[0], HasSubstr("4 LIST={[0:FGCC=appid:5"));
    EXPECT_THAT(file_out[1], HasSubstr("4 LIST={[0:IP=ts:"));
    kv_metadata_update(KVMD_T_IP, ip2, set_fqdn, (void *)"b.example");
    kv_metadata_update(KVMD_T_IP, ip2, set_fqdn, nullptr);
    EXPECT_EQ(file_out.back(), "4 IP=ts:" + std::to_string(ticks) + ",ip:10.0.0.10,fqdn:b.example");
    EXPECT_EQ(file_out.size(), 3u);
    kv_metadata_file_export_toggle();
    kv_metadata_update(KVMD_T_IP, ip2, set_fqdn, (void *)"c");
    EXPECT_EQ(file_out.size(), 3u);
    kv_export_unregister(&exp);
    kv_metadata_destroy_internal(KVMD_T_IP, ip);
    kv_metadata_destroy_internal(KVMD_T_IP, ip2);
    kv_dpi_data_destroy(dd);
}

TEST_F(KvMetadata, RecentAndLatestObjects) {
    struct kv_metadata *r1 = kv_metadata_create(nullptr, KVMD_T_RECENT, &fg_head);
    struct kv_metadata *r2 = kv_metadata_create(nullptr, KVMD_T_RECENT, &fg_head);
    store_values(r1, 1);
    ticks += 60000001;
    store_values(r2, 2);
    walked.clear();
    kv_metadata_export_list(KVMD_T_RECENT, nullptr, collect);
    EXPECT_EQ(walked, std::vector<struct kv_metadata *>{r2});  // r1 is older than 60 s
    store_values(r1, 3);
    walked.clear();
    kv_metadata_export_list(KVMD_T_RECENT, nullptr, collect);
    EXPECT_EQ(walked, (std::vector<struct kv_metadata *>{r1, r2}));
    kv_metadata_destroy(r1);
    kv_metadata_destroy(r2);
    EXPECT_TRUE(kvmd.recent.empty());

    struct kv_metadata *l0 = kv_metadata_create(nullptr, KVMD_T_LATEST, &none);
    struct kv_metadata *l1 = kv_metadata_create(nullptr, KVMD_T_LATEST, &fg_head);
    walked.clear();
    EXPECT_EQ(kv_metadata_export_latest(0, KVMD_T_LATEST, nullptr, collect), 0);  // empty slot
    EXPECT_EQ(kv_metadata_export_latest(0, KVMD_T_RECENT, nullptr, collect), 1);
    kv_metadata_export_events(l0, nullptr);
    store_values(l1, 50);  // the slot keeps the first
    EXPECT_EQ(kv_metadata_export_latest(0, KVMD_T_LATEST, nullptr, collect), 0);  // no values
    kv_metadata_destroy(l0);
    store_values(l1, 50);
    EXPECT_EQ(kv_metadata_export_latest(50, KVMD_T_LATEST, nullptr, collect), 0);
    EXPECT_EQ(kv_metadata_export_latest(49, KVMD_T_LATEST, nullptr, collect), 1);
    EXPECT_EQ(walked, std::vector<struct kv_metadata *>{l1});
    kv_metadata_destroy(l1);
    EXPECT_EQ(kv_metadata_export_latest(0, KVMD_T_LATEST, nullptr, collect), 0);
}

}  // namespace
