// kv_metadata: the metadata store (objects, flow groups, application
// records, IP and FGCC records) and its start-up.  The export side, the
// update cycle and the text form are in kv_metadata_export.cc.
//
// Locking is described in kv_metadata.h.  Functions ending in _locked
// expect the lock they name to be held by the caller.
#include "core/kv_metadata.h"

#include <sys/socket.h>

#include <cstring>
#include <initializer_list>

#include "core/agent_config.h"
#include "core/kern_timeout.h"
#include "core/kv_metadata_internal.h"
#include "core/logging.h"
#include "core/nassert.h"
#include "core/netctl/netctl_vars.h"
#include "core/nmem.h"
#include "core/sysinit.h"

struct kvmd_store kvmd_store;
struct kvmd_stats kvmd_stats;
struct kvmd_state kvmd;

static thread_local int kvmd_dpi_held;

#define KVMD_STAT(name, field) \
    {name, 0x1124, 0, 8, 0, 0, static_cast<uint16_t>(offsetof(struct kvmd_stats, field))}
static struct kv_var kvmd_stats_vars[] = {
    KVMD_STAT("existing", existing),   KVMD_STAT("allocs", allocs),
    KVMD_STAT("frees", frees),         KVMD_STAT("allocerr", allocerr),
    KVMD_STAT("apps", apps),           KVMD_STAT("events", events),
    KVMD_STAT("events_err", events_err), KVMD_STAT("cfg_status", cfg_status),
    KVMD_STAT("cfg_flush", cfg_flush), KVMD_STAT("cfg_expires", cfg_expires),
};
#undef KVMD_STAT

static struct kv_head kvmd_stats_head = {
    "kv_metadata_stats", 0, 0, sizeof(kvmd_stats_vars) / sizeof(kvmd_stats_vars[0]),
    {0, 0, 0, 0},        0, nullptr, kvmd_stats_vars, nullptr, nullptr, {nullptr, nullptr},
};

static const struct {
    const char *name;
    uint16_t offset;
} kvmd_store_var_table[6] = {
    {"update_cycle", offsetof(struct kvmd_store, update_cycle)},
    {"next_update_time", offsetof(struct kvmd_store, next_update_time)},
    {"store_in_use_count", offsetof(struct kvmd_store, store_in_use_count)},
    {"new_elems_added", offsetof(struct kvmd_store, new_elems_added)},
    {"new_pids_added", offsetof(struct kvmd_store, new_pids_added)},
    {"elems_deleted", offsetof(struct kvmd_store, elems_deleted)},
};
static struct kv_var kvmd_store_vars[6];
static struct kv_head kvmd_store_head;

uint64_t kv_metadata_interval_usec(uint32_t s) {
    if (s >= 120) return 5000000;
    return uint64_t{s} * 1000000 + 100000;
}

/*
 * Start-up.
 */

static void kvmd_mutex_init(pthread_mutex_t *m) {
    N_ASSERT(pthread_mutex_init(m, nullptr) == 0);
}

void kv_metadata_mod_init(void *) {
    netctl_register_vars("core.kv_metadata.stats", &kvmd_stats_head, &kvmd_stats, 0, nullptr);

    for (auto &l : kvmd.lists)
        l.init();
    kvmd.active = &kvmd.lists[0];
    kvmd.exported = &kvmd.lists[1];
    kvmd.incoming = &kvmd.lists[2];
    kvmd.pending.init();
    kvmd_store.current_copy = 0;
    n_counter_set(kvmd_store.update_cycle, uint64_t{1});
    n_counter_set(kvmd_store.next_update_time, uint64_t{1});
    uint32_t s = agent_cfg != nullptr ? agent_cfg->ac_md_update_interval : 0;
    kvmd_store.update_interval = kv_metadata_interval_usec(s);

    kvmd.apps_new.init();
    kvmd.apps_published.init();
    kvmd.recent.init();
    kvmd.latest = nullptr;
    kvmd.events.init();
    kvmd.cfg.init();
    kvmd.ip.init();
    kvmd.dpi.init();
    for (pthread_mutex_t *m : {&kvmd.fg_lock, &kvmd.app_lock, &kvmd.dpi_lock, &kvmd.ip_lock,
                               &kvmd.recent_lock, &kvmd.latest_lock, &kvmd.event_lock,
                               &kvmd.cfg_lock, &kvmd.store_lock})
        kvmd_mutex_init(m);
    N_ASSERT(pthread_cond_init(&kvmd.store_cv, nullptr) == 0);

    for (int i = 0; i < 6; i++) {
        struct kv_var &v = kvmd_store_vars[i];
        v = kv_var{};
        snprintf(v.kv_name, sizeof(v.kv_name), "%s", kvmd_store_var_table[i].name);
        v.kv_type = 0x1124;
        v.kv_size = 8;
        v.kv_offset = kvmd_store_var_table[i].offset;
    }
    kvmd_store_head = kv_head{};
    snprintf(kvmd_store_head.kh_name, sizeof(kvmd_store_head.kh_name), "kvmdstore_stats");
    kvmd_store_head.kh_type = 2;
    kvmd_store_head.kh_flags = 0x04;
    kvmd_store_head.kh_nvars = 6;
    kvmd_store_head.kh_size = sizeof(struct kvmd_store);
    kvmd_store_head.kh_data = &kvmd_store;
    kvmd_store_head.kh_vars = kvmd_store_vars;
    netctl_register_vars("core.kv_metadata.store.stats", &kvmd_store_head, &kvmd_store, 0,
                         nullptr);

    kvmd_export_init();
}
SYSINIT(kv_metadata_mod, "kv_metadata_mod", SI_SUB_KV, SI_ORDER_ANY, kv_metadata_mod_init,
        nullptr);

/*
 * Objects and flow groups.
 */

static struct kv_metadata *kvmd_alloc(struct kv_head *kh) {
    uint32_t nvars = kh != nullptr ? kh->kh_nvars : 0;
    auto *kmdp = static_cast<struct kv_metadata *>(
        nmem_alloc(uint32_t(sizeof(struct kv_metadata) + nvars * KV_RECORD_SIZE), NMEM_ZERO));
    if (kmdp == nullptr) {
        if (tr_mask & 1) tr_log(1, TR_ERROR, "kv_metadata_create : alloc failed");
        return nullptr;
    }
    kmdp->kmd_head = kh;
    return kmdp;
}

static void kvmd_free(struct kv_metadata *kmdp) {
    kvmd_add(kvmd_stats.frees, 1);
    kvmd_add(kvmd_stats.existing, -1);
    nmem_free(kmdp);
}

struct kv_metadata *kv_metadata_app_find(uint32_t appid, uint64_t pid, int new_list) {
    if (!new_list) {
        for (struct kv_metadata *a : kvmd.apps_published)
            if (a->kmd_app.kmda_appid == appid) return a;
        return nullptr;
    }
    for (struct kv_metadata *a : kvmd.apps_new)
        if (a->kmd_app.kmda_appid == appid && a->kmd_app.kmda_pid == pid) return a;
    return nullptr;
}

// The application record of (appid, pid) on the new list, made when there
// is none; null when it cannot be made.
static struct kv_metadata *kvmd_app_get_locked(uint32_t appid, uint64_t pid) {
    struct kv_metadata *app = kv_metadata_app_find(appid, pid, 1);
    if (app != nullptr) return app;
    app = static_cast<struct kv_metadata *>(nmem_alloc(sizeof(struct kv_metadata), NMEM_ZERO));
    if (app == nullptr) {
        kvmd_add(kvmd_stats.allocerr, 1);
        if (tr_mask & 1) tr_log(1, TR_ERROR, "kv_metadata_app_alloc: alloc failed");
        return nullptr;
    }
    kvmd_add(kvmd_stats.allocs, 1);
    kvmd_add(kvmd_stats.existing, 1);
    kvmd_add(kvmd_stats.apps, 1);
    app->kmd_type = KVMD_T_APP;
    app->kmd_app.kmda_appid = appid;
    app->kmd_app.kmda_pid = pid;
    app->kmd_list_state = KVMD_LS_INCOMING;
    kvmd.apps_new.insert_tail(app);
    return app;
}

// Drops one reference; the last one frees the record.  Application lock held.
static void kvmd_app_release_locked(struct kv_metadata *kmdap) {
    N_ASSERT(kmdap && kmdap->kmd_app.kmda_ref_count > 0,
             "kmdap && kmdap->kmd_app.kmda_ref_count >0");
    if (--kmdap->kmd_app.kmda_ref_count != 0) return;
    if (kmdap->kmd_list_state == KVMD_LS_LISTED)
        kvmd.apps_published.remove(kmdap);
    else
        kvmd.apps_new.remove(kmdap);
    kvmd_add(kvmd_stats.apps, -1);
    kvmd_free(kmdap);
}

static struct kv_metadata *kv_metadata_flowgroup_add(struct kv_metadata *first,
                                                     const struct kv_flow_key *key) {
    struct kv_metadata *second = kvmd_alloc(first->kmd_head);
    if (second == nullptr) {
        nmem_free(first);
        return nullptr;
    }
    struct kv_metadata *copy[2] = {first, second};
    for (int i = 0; i < 2; i++) {
        copy[i]->kmd_type = KVMD_T_FLOWGROUP;
        copy[i]->kmd_fg.kmdfg_key = *key;
        copy[i]->kmd_twin = copy[1 - i];
        copy[i]->kmd_copy = uint8_t(i);
    }
    pthread_mutex_lock(&kvmd.fg_lock);
    if (key->fk_appid != 0) {
        N_ASSERT(((void *)0) == first->kmd_fg.kmdfg_app,
                 "((void *)0) == kmdp->kmd_fg.kmdfg_app");
        pthread_mutex_lock(&kvmd.app_lock);
        struct kv_metadata *app = kvmd_app_get_locked(key->fk_appid, key->fk_pid);
        if (app == nullptr) {
            // Nothing was linked: the flow group is not made at all.
            pthread_mutex_unlock(&kvmd.app_lock);
            pthread_mutex_unlock(&kvmd.fg_lock);
            nmem_free(second);
            nmem_free(first);
            return nullptr;
        }
        first->kmd_fg.kmdfg_app = second->kmd_fg.kmdfg_app = app;
        app->kmd_app.kmda_ref_count += 2;
        pthread_mutex_unlock(&kvmd.app_lock);
    }
    struct kv_metadata *active = copy[kvmd_store.current_copy];
    struct kv_metadata *incoming = copy[1 - kvmd_store.current_copy];
    active->kmd_list_state = KVMD_LS_LISTED;
    kvmd.active->insert_head(active);
    incoming->kmd_list_state = KVMD_LS_INCOMING;
    kvmd.incoming->insert_head(incoming);
    pthread_mutex_unlock(&kvmd.fg_lock);
    kvmd_add(kvmd_stats.allocs, 2);
    kvmd_add(kvmd_stats.existing, 2);
    return first;
}

struct kv_metadata *kv_metadata_create(const struct kv_flow_key *key, uint32_t type,
                                       struct kv_head *kh) {
    struct kv_metadata *kmdp = kvmd_alloc(kh);
    if (kmdp == nullptr) return nullptr;
    kmdp->kmd_type = type;
    if (type != KVMD_T_FLOWGROUP) {
        kvmd_add(kvmd_stats.allocs, 1);
        kvmd_add(kvmd_stats.existing, 1);
        return kmdp;
    }
    return kv_metadata_flowgroup_add(kmdp, key);
}

// Unlinks a copy from its store list and releases its application
// reference; the caller frees it.  Flow-group and application locks held.
static void kvmd_copy_unlink_locked(kvmd_list *owner, struct kv_metadata *c) {
    N_ASSERT(((c)->kmd_export_list.tqe_prev != ((void *)0)),
             "((kmdp)->kmd_export_list.tqe_prev != ((void *)0))");
    owner->remove(c);
    if (c->kmd_fg.kmdfg_app != nullptr) {
        N_ASSERT(0 != c->kmd_fg.kmdfg_key.fk_appid, "0 != ipfkp->fk_appid");
        kvmd_app_release_locked(c->kmd_fg.kmdfg_app);
        c->kmd_fg.kmdfg_app = nullptr;
    }
}

void kv_metadata_flowgroup_destroy(struct kv_metadata *kmdp) {
    struct kv_metadata *gone[2] = {nullptr, nullptr};
    pthread_mutex_lock(&kvmd.fg_lock);
    N_ASSERT(((kmdp)->kmd_export_list.tqe_prev != ((void *)0)));
    if (kmdp->kmd_list_state == KVMD_LS_PENDING) {
        // Its flow group is gone already; only the cycle may free it.
        pthread_mutex_unlock(&kvmd.fg_lock);
        if (tr_mask & 1)
            tr_log(1, TR_ERROR, "kv_metadata_flowgroup_destroy: flow group already destroyed");
        return;
    }
    struct kv_metadata *twin = kmdp->kmd_twin;
    N_ASSERT(twin != nullptr && twin->kmd_twin == kmdp);
    struct kv_metadata *exported = kvmd_is_exported(kmdp) ? kmdp
                                   : kvmd_is_exported(twin) ? twin
                                                            : nullptr;
    pthread_mutex_lock(&kvmd.app_lock);
    int n = 0;
    for (struct kv_metadata *c : {kmdp, twin}) {
        c->kmd_twin = nullptr;
        if (c == exported) {
            // Consumers may be walking it: it stays on the export list until
            // the next cycle frees it.
            c->kmd_list_state = KVMD_LS_PENDING;
            kvmd.pending.insert_head(c);
            continue;
        }
        // Incoming or active: no consumer reaches it.
        kvmd_copy_unlink_locked(c->kmd_list_state == KVMD_LS_INCOMING ? kvmd.incoming : kvmd.active,
                                c);
        gone[n++] = c;
    }
    pthread_mutex_unlock(&kvmd.app_lock);
    pthread_mutex_unlock(&kvmd.fg_lock);
    for (int i = 0; i < n; i++)
        kvmd_free(gone[i]);
}

// The cycle, after the swap: every pending copy is on the new active list.
void kvmd_finish_pending_locked(void) {
    while (struct kv_metadata *c = kvmd.pending.first()) {
        kvmd.pending.remove(c);
        n_counter_inc(kvmd_store.elems_deleted);
        kvmd_copy_unlink_locked(kvmd.active, c);
        kvmd_free(c);
    }
}

void kv_metadata_destroy(struct kv_metadata *kmdp) {
    switch (kmdp->kmd_type) {
        case KVMD_T_FLOWGROUP:
            kv_metadata_flowgroup_destroy(kmdp);
            return;
        case KVMD_T_APP: {
            pthread_mutex_lock(&kvmd.app_lock);
            bool listed = kvmd_app_list::linked(kmdp);
            pthread_mutex_unlock(&kvmd.app_lock);
            if (listed) {
                if (tr_mask & 1)
                    tr_log(1, TR_ERROR,
                           "kv_metadata_destroy: application record released by reference only");
                return;
            }
            break;
        }
        case KVMD_T_RECENT:
            pthread_mutex_lock(&kvmd.recent_lock);
            if (kvmd_list::linked(kmdp)) kvmd.recent.remove(kmdp);
            pthread_mutex_unlock(&kvmd.recent_lock);
            break;
        case KVMD_T_LATEST:
            pthread_mutex_lock(&kvmd.latest_lock);
            if (kvmd.latest == kmdp) kvmd.latest = nullptr;
            pthread_mutex_unlock(&kvmd.latest_lock);
            break;
        default:
            break;
    }
    kvmd_free(kmdp);
}

/*
 * IP records.
 */

static struct kv_md_ip *kv_metadata_create_ip(const void *address) {
    auto *ip = static_cast<struct kv_md_ip *>(nmem_alloc(sizeof(struct kv_md_ip), NMEM_ZERO));
    if (ip == nullptr) {
        if (tr_mask & 1) tr_log(1, TR_ERROR, "kv_metadata_create_ip: Error in kv_md_ip  alloc");
        return nullptr;
    }
    ip->ts = kvmd_ticks();
    memcpy(ip->address, address, sizeof(ip->address));
    uint16_t family;
    memcpy(&family, ip->address, sizeof(family));
    ip->version = family == AF_INET ? 1 : 2;
    kvmd.ip.insert_head(ip);
    return ip;
}

struct kv_md_ip *kv_metadata_create_object(uint32_t type, const void *address) {
    if (type != KVMD_T_IP) {
        if (tr_mask & 1) tr_log(1, TR_ERROR, "kv_metadata_create_object: case undefined");
        return nullptr;
    }
    pthread_mutex_lock(&kvmd.ip_lock);
    struct kv_md_ip *ip = kv_metadata_create_ip(address);
    pthread_mutex_unlock(&kvmd.ip_lock);
    return ip;
}

void kv_metadata_destroy_internal(uint32_t type, void *record) {
    if (type != KVMD_T_IP) {
        if (tr_mask & 1) tr_log(1, TR_ERROR, "kv_metadata_destroy_internal: case undefined");
        return;
    }
    if (record == nullptr) return;
    pthread_mutex_lock(&kvmd.ip_lock);
    kvmd.ip.remove(static_cast<struct kv_md_ip *>(record));
    pthread_mutex_unlock(&kvmd.ip_lock);
    nmem_free(record);
}

void kv_metadata_update(uint32_t type, void *record, kvmd_change_fn change, void *arg) {
    if (type != KVMD_T_IP) {
        if (tr_mask & 1)
            tr_log(1, TR_ERROR, "kv_metadata_update: No case defined for the type %u", type);
        return;
    }
    if (record == nullptr) return;
    auto *ip = static_cast<struct kv_md_ip *>(record);
    pthread_mutex_lock(&kvmd.ip_lock);
    if (change(record, arg) == 0) {
        ip->ts = kvmd_ticks();
        if (kvmd.file_export_on) kvmd_file_export_call_locked(KVMD_EXP_IP, ip);
        kvmd.ip.remove(ip);
        kvmd.ip.insert_head(ip);
    }
    pthread_mutex_unlock(&kvmd.ip_lock);
}

/*
 * FGCC records.
 */

void kvmd_dpi_lock(void) {
    pthread_mutex_lock(&kvmd.dpi_lock);
    kvmd_dpi_held++;
}

void kvmd_dpi_unlock(void) {
    kvmd_dpi_held--;
    pthread_mutex_unlock(&kvmd.dpi_lock);
}

struct kv_dpi_data *kv_dpi_data_create(const struct kv_flow_key *key) {
    auto *dd = static_cast<struct kv_dpi_data *>(nmem_alloc(sizeof(struct kv_dpi_data), NMEM_ZERO));
    if (dd == nullptr) {
        if (tr_mask & 1) tr_log(1, TR_ERROR, "kv_dpi_data_create : alloc failed");
        return nullptr;
    }
    dd->cc_lru.init();
    dd->key = *key;
    kvmd_dpi_lock();
    kvmd.dpi.insert_head(dd);
    kvmd_dpi_unlock();
    return dd;
}

// Takes the DPI lock unless this thread holds it already (a callback of an
// export walk).
void kv_dpi_data_destroy(struct kv_dpi_data *dd) {
    bool take = kvmd_dpi_held == 0;
    if (take) kvmd_dpi_lock();
    while (struct kv_dpi_cc *cc = dd->cc_lru.first()) {
        dd->cc_lru.remove(cc);
        nmem_free(cc);
    }
    if (kvmd.dpi_walk_cur == dd) kvmd.dpi_walk_cur = nullptr;
    if (kvmd.dpi_walk_next == dd) kvmd.dpi_walk_next = kv_dpi_data_list::next(dd);
    kvmd.dpi.remove(dd);
    if (take) kvmd_dpi_unlock();
    nmem_free(dd);
}

int ip_flow_dpi_kvmd_cb(struct kv_dpi_data *dd, const struct kv_dpi_conn *conn, int limit) {
    if (agent_cfg == nullptr || agent_cfg->ac_flow_dpi_md == 0) return 0;
    uint64_t now = kvmd_ticks();
    uint32_t room = limit <= 0 ? 0 : static_cast<uint32_t>(limit);
    if (room > 65535) room = 65535;
    pthread_mutex_lock(&kvmd.fg_lock);
    kvmd_dpi_lock();
    int result = 1;
    struct kv_dpi_cc *cc = nullptr;
    for (struct kv_dpi_cc *e : dd->cc_lru)
        if (memcmp(&e->conn, conn, sizeof(*conn)) == 0) goto out;
    if (dd->cc_count < room) {
        cc = static_cast<struct kv_dpi_cc *>(nmem_alloc(sizeof(struct kv_dpi_cc), NMEM_ZERO));
        if (cc == nullptr) {
            if (tr_mask & 1) tr_log(1, TR_ERROR, "ip_flow_dpi_kvmd_cb: Alloc failed.");
            goto out;
        }
        dd->cc_count++;
        result = 0;
    } else if (!dd->cc_lru.empty()) {
        // The last element's next link is its first field.
        cc = reinterpret_cast<struct kv_dpi_cc *>(reinterpret_cast<char *>(dd->cc_lru.tqh_last) -
                                                   offsetof(struct kv_dpi_cc, link));
        dd->cc_lru.remove(cc);
        result = 2;
    } else {
        goto out;
    }
    cc->ts = now;
    cc->conn = *conn;
    dd->cc_lru.insert_head(cc);
out:
    kvmd_dpi_unlock();
    pthread_mutex_unlock(&kvmd.fg_lock);
    return result;
}
