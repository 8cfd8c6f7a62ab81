// Fuzz target: random sequences of metadata-store operations from one
// thread, checked after every step against a simple model of which flow
// groups exist and where their copies are (active, incoming, exported,
// pending destroy), which application records are alive, and what the
// counters say.  Connection caches, events and IP records run alongside
// with their own checks.  Every run ends with the store empty again.
#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>
#include <vector>

#include "core/agent_config.h"
#include "core/kern_timeout.h"
#include "core/logging.h"
#include "core/kv_metadata.h"
#include "core/kv_metadata_internal.h"
#include "fuzz_support.h"

namespace fz_kvmd {

struct kv_var vars[] = {{"v", KV_T_U64, 0, 8, 0, 0, 0}};
struct kv_head head = {"fzmd", 0, 0, 1, {}, 0, nullptr, vars, nullptr, nullptr, {}};
struct agent_config cfg;
time_t wall = 1700000000;

// The model of one flow group.
struct fg_model {
    struct kv_metadata *first;
    uint32_t appid;
    uint64_t pid;
    uint64_t born;  // update cycle of its creation
};

struct model {
    std::vector<fg_model> live;
    // Application records alive: (appid, pid, cycle made) -> references.
    std::map<std::tuple<uint32_t, uint64_t, uint64_t>, int> apps;
    std::vector<std::tuple<uint32_t, uint64_t, uint64_t>> pending_apps;  // one per pending copy
    uint64_t values = 0;
};

size_t count(const kvmd_list &l) {
    size_t n = 0;
    for (struct kv_metadata *c : l) {
        (void)c;
        n++;
    }
    return n;
}

void check(const model &m) {
    const uint64_t cyc = kvmd_store.update_cycle;
    size_t fresh = 0;
    for (const fg_model &f : m.live) {
        struct kv_metadata *a = kv_metadata_flowgroup_find(nullptr, &f.first->kmd_fg.kmdfg_key,
                                                          KVMD_T_FLOWGROUP);
        FZ_CHECK(a == f.first || a == f.first->kmd_twin);
        FZ_CHECK(kvmd_is_active(a));
        struct kv_metadata *t = a->kmd_twin;
        FZ_CHECK(t != nullptr && t->kmd_twin == a);
        if (f.born == cyc) {
            fresh++;
            FZ_CHECK(t->kmd_list_state == KVMD_LS_INCOMING);
        } else {
            FZ_CHECK(kvmd_is_exported(t));
        }
        FZ_CHECK((a->kmd_fg.kmdfg_app == nullptr) == (f.appid == 0));
    }
    size_t pend = m.pending_apps.size();
    FZ_CHECK(count(*kvmd.active) == m.live.size());
    FZ_CHECK(count(*kvmd.incoming) == fresh);
    FZ_CHECK(count(*kvmd.exported) == m.live.size() - fresh + pend);
    size_t np = 0;
    for (struct kv_metadata *c : kvmd.pending) {
        FZ_CHECK(c->kmd_list_state == KVMD_LS_PENDING);
        np++;
    }
    FZ_CHECK(np == pend);
    FZ_CHECK(kvmd_stats.apps == m.apps.size());
    FZ_CHECK(kvmd_stats.existing == 2 * m.live.size() + pend + m.apps.size());
    for (const auto &[k, refs] : m.apps) {
        const auto &[appid, pid, made] = k;
        struct kv_metadata *app = nullptr;
        for (struct kv_metadata *x : made == cyc ? kvmd.apps_new : kvmd.apps_published)
            if (x->kmd_app.kmda_appid == appid && x->kmd_app.kmda_pid == pid)
                app = x;  // the published list may hold several: compare counts below
        FZ_CHECK(app != nullptr);
        (void)refs;
    }
    int total = 0;
    for (const auto &a : m.apps)
        total += a.second;
    long listed = 0;
    for (auto *l : {&kvmd.apps_new, &kvmd.apps_published})
        for (struct kv_metadata *x : *l)
            listed += x->kmd_app.kmda_ref_count;
    FZ_CHECK(listed == total);
}

void cycle(model &m) {
    n_counter_set(ticks, std::max(ticks, kvmd_store.next_update_time));
    const uint64_t before = kvmd_store.update_cycle;
    kv_metadata_store_update();
    FZ_CHECK(kvmd_store.update_cycle == before + 1);
    for (const auto &k : m.pending_apps)
        if (std::get<0>(k) != 0 && --m.apps[k] == 0) m.apps.erase(k);
    m.pending_apps.clear();
}

void destroy(model &m, size_t i, bool twin) {
    fg_model f = m.live[i];
    m.live.erase(m.live.begin() + long(i));
    const auto k = std::make_tuple(f.appid, f.pid, f.born);
    struct kv_metadata *c = twin ? f.first->kmd_twin : f.first;
    bool has_exported = f.born != kvmd_store.update_cycle;
    kv_metadata_flowgroup_destroy(c);
    if (f.appid != 0) {
        m.apps[k] -= has_exported ? 1 : 2;
        if (m.apps[k] == 0) m.apps.erase(k);
    }
    if (has_exported) m.pending_apps.push_back(f.appid != 0 ? k : std::make_tuple(0u, 0ul, 0ul));
}

int set_text(void *rec, void *arg) {
    if (arg == nullptr) return 1;
    snprintf(static_cast<struct kv_md_ip *>(rec)->ip, 46, "%s", static_cast<const char *>(arg));
    return 0;
}

int fz_run_kv_metadata(const uint8_t *data, size_t size) {
    static bool started = [] {
        ticks = 1000000;
        softclock_init(nullptr);
        cfg.ac_md_update_interval = 0;  // 0.1 s: little simulated time per run
        cfg.ac_flow_dpi_md = 1;
        agent_cfg = &cfg;
        tr_set_echo(0);
        kvmd_wall_clock = [] { return wall; };
        kv_metadata_mod_init(nullptr);
        return true;
    }();
    (void)started;
    fz::Reader in(data, size);
    model m;
    std::vector<struct kv_dpi_data *> dpi;
    std::vector<struct kv_md_ip *> ips;
    uint16_t port = 0;
    cycle(m);
    const uint64_t events0 = kvmd_stats.events, errs0 = kvmd_stats.events_err;
    uint64_t events = 0, errs = 0;
    for (int steps = 0; !in.empty() && steps < 512; steps++) {
        uint8_t op = in.u8();
        uint8_t arg = in.u8();
        switch (op % 9) {
            case 0:
            case 1: {
                struct kv_flow_key k = {};
                k.fk_dport = ++port;
                k.fk_appid = arg % 4;
                k.fk_pid = (arg >> 2) % 2;
                struct kv_metadata *fg = kv_metadata_create(&k, KVMD_T_FLOWGROUP, &head);
                FZ_CHECK(fg != nullptr);
                const uint64_t cyc = kvmd_store.update_cycle;
                m.live.push_back({fg, k.fk_appid, k.fk_pid, cyc});
                if (k.fk_appid != 0) m.apps[{k.fk_appid, k.fk_pid, cyc}] += 2;
                break;
            }
            case 2:
                if (!m.live.empty()) destroy(m, arg % m.live.size(), arg & 0x80);
                break;
            case 3:
                if (!m.live.empty()) {
                    struct kv_record r = {};
                    r.kr_value.u64 = ++m.values;
                    fg_model &f = m.live[arg % m.live.size()];
                    kv_metadata_export_events(arg & 0x80 ? f.first->kmd_twin : f.first, &r);
                    struct kv_metadata *a = f.first;
                    if (!kvmd_is_active(a)) a = a->kmd_twin;
                    FZ_CHECK(kv_metadata_values(a)[0].kr_value.u64 == m.values);
                }
                break;
            case 4:
                if (arg & 1) {  // a consumer holds the export side: skipped once
                    kv_metadata_export_api_lock_list_head();
                    n_counter_set(ticks, std::max(ticks, kvmd_store.next_update_time));
                    const uint64_t before = kvmd_store.update_cycle;
                    kv_metadata_store_update();
                    FZ_CHECK(kvmd_store.update_cycle == before && kvmd_store.missed_updates == 1);
                    kv_metadata_export_api_unlock_list_head();
                }
                cycle(m);
                break;
            case 5: {
                if (dpi.empty() || arg < 32) {
                    struct kv_flow_key k = {};
                    k.fk_appid = arg;
                    dpi.push_back(kv_dpi_data_create(&k));
                }
                struct kv_dpi_data *dd = dpi[arg % dpi.size()];
                if (arg > 240) {
                    kv_dpi_data_destroy(dd);
                    dpi.erase(dpi.begin() + long(arg % dpi.size()));
                    break;
                }
                struct kv_dpi_conn c = {1, in.u8() % 3u, in.u8() % 4u, 2, 2};
                int limit = int(int8_t(in.u8())) % 8;
                const uint16_t was = dd->cc_count;
                int r = ip_flow_dpi_kvmd_cb(dd, &c, limit);
                FZ_CHECK(r >= 0 && r <= 2);
                FZ_CHECK(r != 0 || (limit > 0 && was < limit && dd->cc_count == was + 1));
                FZ_CHECK(r == 0 || dd->cc_count == was);
                FZ_CHECK(r != 2 || was > 0);
                size_t n = 0;
                for (struct kv_dpi_cc *cc : dd->cc_lru) {
                    (void)cc;
                    n++;
                }
                FZ_CHECK(n == dd->cc_count);
                break;
            }
            case 6: {
                static const char text[512] = {};
                int32_t len = int32_t(arg) * 2 - 100;
                struct kv_md_msg msg = {};
                msg.km_kind = KVMD_MSG_EVENT;
                msg.km_len = len;
                msg.km_data = (arg & 1) ? nullptr : text;
                kv_metadata_export_events(nullptr, &msg);
                bool bad = len < 0 || (msg.km_data == nullptr && len != 0);
                (bad ? errs : events)++;
                FZ_CHECK(kvmd_stats.events - events0 == events);
                FZ_CHECK(kvmd_stats.events_err - errs0 == errs);
                break;
            }
            case 7: {
                n_counter_set(ticks, ticks + 1);
                if (ips.empty() || arg < 64) {
                    uint8_t sa[16] = {2, 0};
                    ips.push_back(kv_metadata_create_object(KVMD_T_IP, sa));
                    FZ_CHECK(ips.back()->version == 1);
                } else if (arg > 224) {
                    kv_metadata_destroy_internal(KVMD_T_IP, ips[arg % ips.size()]);
                    ips.erase(ips.begin() + long(arg % ips.size()));
                } else {
                    kv_metadata_update(KVMD_T_IP, ips[arg % ips.size()], set_text,
                                       (arg & 1) ? nullptr : (void *)"10.1.1.1");
                }
                uint64_t last = UINT64_MAX;
                for (struct kv_md_ip *ip : kvmd.ip) {
                    FZ_CHECK(ip->ts <= last);
                    last = ip->ts;
                }
                break;
            }
            default:
                if (!m.pending_apps.empty()) {
                    // A public destroy of a pending copy is refused.
                    struct kv_metadata *p = kvmd.pending.first();
                    const uint64_t frees = kvmd_stats.frees;
                    kv_metadata_flowgroup_destroy(p);
                    FZ_CHECK(kvmd_stats.frees == frees);
                }
                break;
        }
        check(m);
    }
    while (!m.live.empty())
        destroy(m, m.live.size() - 1, false);
    cycle(m);
    cycle(m);
    check(m);
    FZ_CHECK(kvmd_stats.existing == 0 && kvmd_stats.apps == 0);
    for (struct kv_dpi_data *dd : dpi)
        kv_dpi_data_destroy(dd);
    for (struct kv_md_ip *ip : ips)
        kv_metadata_destroy_internal(KVMD_T_IP, ip);
    FZ_CHECK(kvmd.dpi.empty() && kvmd.ip.empty());
    // Now and then the queued events expire: two runs of the 90-second
    // callout, a day later.
    if (kvmd_stats.events > 1000) {
        wall += 86400;
        for (uint64_t end = ticks + 181000000; ticks < end; softclock())
            n_counter_set(ticks, ticks + 1000000);
        FZ_CHECK(kvmd.events.empty() && kvmd_stats.events == 0);
    }
    return 0;
}

}  // namespace fz_kvmd

using fz_kvmd::fz_run_kv_metadata;
FZ_DRIVER(fz_run_kv_metadata)
