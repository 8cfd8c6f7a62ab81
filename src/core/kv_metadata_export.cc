// kv_metadata export side: value updates, the event and configuration-status
// queues with their expiry, the update cycle, the consumers' iterators, the
// file export and the text form of records.
#include <arpa/inet.h>

#include <climits>
#include <cstring>

#include "core/kern_timeout.h"
#include "core/kv_metadata.h"
#include "core/kv_metadata_internal.h"
#include "core/logging.h"
#include "core/nassert.h"
#include "core/nmem.h"

static time_t kvmd_time_default(void) {
    return time(nullptr);
}
time_t (*kvmd_wall_clock)(void) = kvmd_time_default;

inline constexpr int KVMD_EXPIRY_USEC = 90000000;
inline constexpr uint64_t KVMD_RECENT_USEC = 60000000;

static void kvmd_events_expire(void *);
static void kvmd_cfg_expire(void *);

void kvmd_export_init(void) {
    timeout(kvmd_events_expire, nullptr, KVMD_EXPIRY_USEC);
    timeout(kvmd_cfg_expire, nullptr, KVMD_EXPIRY_USEC);
    kvmd.file_export_on = 0;
}

/*
 * Producers: values, events and configuration status.
 */

static void kvmd_copy_values(struct kv_metadata *kmdp, const void *records) {
    uint32_t nvars = kmdp->kmd_head != nullptr ? kmdp->kmd_head->kh_nvars : 0;
    if (nvars != 0) memcpy(kv_metadata_values(kmdp), records, size_t{nvars} * KV_RECORD_SIZE);
    kmdp->kmd_last_update = kvmd_ticks();
}

static void kvmd_event_failed(const char *why) {
    kvmd_add(kvmd_stats.events_err, 1);
    if (tr_mask & 1) tr_log(1, TR_ERROR, "kv_metadata_export_events: %s", why);
}

static void kvmd_queue_event(const struct kv_md_msg *m) {
    if (m->km_len < 0 || m->km_len == INT32_MAX || (m->km_data == nullptr && m->km_len != 0)) {
        kvmd_event_failed("bad event data");
        return;
    }
    pthread_mutex_lock(&kvmd.event_lock);
    auto *ev = static_cast<struct kv_md_event *>(nmem_alloc(sizeof(struct kv_md_event), NMEM_ZERO));
    char *data = ev != nullptr ? static_cast<char *>(nmem_alloc(uint32_t(m->km_len) + 1, NMEM_ZERO))
                               : nullptr;
    if (data == nullptr) {
        if (ev != nullptr) nmem_free(ev);
        pthread_mutex_unlock(&kvmd.event_lock);
        kvmd_event_failed("Failed to alloc memory");
        return;
    }
    ev->ev_time = static_cast<uint32_t>(kvmd_wall_clock());
    ev->ev_code = m->km_code;
    if (m->km_len != 0) memcpy(data, m->km_data, size_t(m->km_len));
    ev->ev_len = static_cast<uint8_t>(m->km_len);  // the low 8 bits
    ev->ev_data = data;
    kvmd.events.insert_tail(ev);
    kvmd_add(kvmd_stats.events, 1);
    pthread_mutex_unlock(&kvmd.event_lock);
}

static void kv_metadata_export_config_status(const struct kv_md_msg *m) {
    pthread_mutex_lock(&kvmd.cfg_lock);
    uint64_t now = static_cast<uint64_t>(kvmd_wall_clock());
    if (m->km_op == KVMD_CFG_ADD) {
        auto *cs = static_cast<struct kv_md_cfg_status *>(
            nmem_alloc(sizeof(struct kv_md_cfg_status), NMEM_ZERO));
        if (cs == nullptr) {
            if (tr_mask & 1)
                tr_log(1, TR_ERROR, "kv_metadata_export_config_status: Failed to allocate memory");
        } else {
            kvmd_add(kvmd_stats.cfg_status, 1);
            cs->cs_time = now;
            cs->cs_id = m->km_id;
            cs->cs_status = m->km_status;
            cs->cs_detail = m->km_detail;
            kvmd.cfg.insert_tail(cs);
        }
    } else if (m->km_op == KVMD_CFG_UPDATE) {
        for (struct kv_md_cfg_status *cs : kvmd.cfg)
            if (cs->cs_id == m->km_id) {
                cs->cs_status = m->km_status;
                cs->cs_detail = m->km_detail;
                cs->cs_time = now;
            }
    }
    pthread_mutex_unlock(&kvmd.cfg_lock);
}

void kv_metadata_export_events(struct kv_metadata *kmdp, const void *input) {
    if (kmdp == nullptr) {
        const auto *m = static_cast<const struct kv_md_msg *>(input);
        if (m->km_kind == KVMD_MSG_EVENT)
            kvmd_queue_event(m);
        else if (m->km_kind == KVMD_MSG_CFG_STATUS)
            kv_metadata_export_config_status(m);
        return;
    }
    switch (kmdp->kmd_type) {
        case KVMD_T_FLOWGROUP: {
            pthread_mutex_lock(&kvmd.fg_lock);
            // Values always go to the active copy: the exported one belongs
            // to the consumers until the next cycle.
            struct kv_metadata *c = kmdp;
            if (!kvmd_is_active(c)) c = c->kmd_twin;
            if (c != nullptr && kvmd_is_active(c)) {
                kvmd_copy_values(c, input);
                c->kmd_flags |= KVMD_F_NEWVALUES;
                c->kmd_update_cycle = n_counter_get(kvmd_store.update_cycle);
            }
            pthread_mutex_unlock(&kvmd.fg_lock);
            break;
        }
        case KVMD_T_RECENT:
            pthread_mutex_lock(&kvmd.recent_lock);
            kvmd_copy_values(kmdp, input);
            if (kvmd_list::linked(kmdp)) kvmd.recent.remove(kmdp);
            kvmd.recent.insert_head(kmdp);
            pthread_mutex_unlock(&kvmd.recent_lock);
            break;
        case KVMD_T_LATEST:
            pthread_mutex_lock(&kvmd.latest_lock);
            kvmd_copy_values(kmdp, input);
            if (kvmd.latest == nullptr) kvmd.latest = kmdp;
            pthread_mutex_unlock(&kvmd.latest_lock);
            break;
        default:
            break;
    }
}

void config_status_update(uint64_t id, uint16_t op, uint16_t status, uint16_t detail) {
    auto *m = static_cast<struct kv_md_msg *>(nmem_alloc(sizeof(struct kv_md_msg), 0));
    if (m == nullptr) {
        if (tr_mask & 1) tr_log(1, TR_ERROR, "config_status_update: Memory Allocation failed");
        return;
    }
    m->km_kind = KVMD_MSG_CFG_STATUS;
    m->km_id = id;
    m->km_status = status;
    m->km_op = op;
    m->km_detail = detail;
    kv_metadata_export_events(nullptr, m);
    nmem_free(m);
}

/*
 * Expiry (callouts on the main-poll thread).
 */

// Age in seconds; a clock stepped back gives a negative age, taken as young.
static int64_t kvmd_age(uint64_t then) {
    return static_cast<int64_t>(kvmd_wall_clock()) - static_cast<int64_t>(then);
}

static void kvmd_events_expire(void *) {
    pthread_mutex_lock(&kvmd.event_lock);
    for (struct kv_md_event *ev = kvmd.events.first(), *next; ev != nullptr; ev = next) {
        next = kvmd_event_list::next(ev);
        if (kvmd_age(ev->ev_time) < 91) continue;
        kvmd.events.remove(ev);
        nmem_free(ev->ev_data);
        nmem_free(ev);
        kvmd_add(kvmd_stats.events, -1);
    }
    pthread_mutex_unlock(&kvmd.event_lock);
    timeout(kvmd_events_expire, nullptr, KVMD_EXPIRY_USEC);
}

static void kvmd_cfg_expire(void *) {
    kvmd_add(kvmd_stats.cfg_flush, 1);
    pthread_mutex_lock(&kvmd.cfg_lock);
    for (struct kv_md_cfg_status *cs = kvmd.cfg.first(), *next; cs != nullptr; cs = next) {
        next = kvmd_cfg_list::next(cs);
        if ((cs->cs_status != 1 && cs->cs_status != 2) || kvmd_age(cs->cs_time) <= 90) continue;
        kvmd.cfg.remove(cs);
        nmem_free(cs);
        kvmd_add(kvmd_stats.cfg_status, -1);
        kvmd_add(kvmd_stats.cfg_expires, 1);
    }
    pthread_mutex_unlock(&kvmd.cfg_lock);
    timeout(kvmd_cfg_expire, nullptr, KVMD_EXPIRY_USEC);
}

/*
 * The update cycle.
 */

// Steps of the cycle that need the flow-group and application locks.
static void kvmd_swap_locked(void) {
    kvmd_store.current_copy ^= 1;
    kvmd_list *was_active = kvmd.active;
    kvmd.active = kvmd.exported;
    kvmd.exported = was_active;
    while (struct kv_metadata *c = kvmd.incoming->first()) {
        kvmd.incoming->remove(c);
        c->kmd_list_state = KVMD_LS_LISTED;
        kvmd.active->insert_head(c);
        n_counter_inc(kvmd_store.new_elems_added);
    }
    kvmd_finish_pending_locked();
    while (struct kv_metadata *a = kvmd.apps_new.first()) {
        kvmd.apps_new.remove(a);
        a->kmd_list_state = KVMD_LS_LISTED;
        kvmd.apps_published.insert_head(a);
        n_counter_inc(kvmd_store.new_pids_added);
    }
    // Values written from here on belong to the next cycle.
    n_counter_inc(kvmd_store.update_cycle);
}

void kv_metadata_store_update(void) {
    if (n_counter_get(kvmd_store.next_update_time) > kvmd_ticks()) return;
    if (n_counter_get(kvmd_store.missed_updates) != 0) {
        pthread_mutex_lock(&kvmd.store_lock);
    } else if (pthread_mutex_trylock(&kvmd.store_lock) != 0) {
        return;  // busy for a moment: the next call tries again
    }
    // Another thread may have run the cycle meanwhile.
    if (n_counter_get(kvmd_store.next_update_time) > kvmd_ticks()) goto out;
    if (kvmd_store.store_in_use != 0) {
        if (kvmd_store.missed_updates == 0) {
            n_counter_set(kvmd_store.missed_updates, 1);
            goto out;
        }
        while (kvmd_store.store_in_use != 0) {
            n_counter_inc(kvmd_store.store_in_use_count);
            pthread_cond_wait(&kvmd.store_cv, &kvmd.store_lock);
        }
        if (n_counter_get(kvmd_store.next_update_time) > kvmd_ticks()) goto out;
    }
    pthread_mutex_lock(&kvmd.fg_lock);
    pthread_mutex_lock(&kvmd.app_lock);
    kvmd_swap_locked();
    pthread_mutex_unlock(&kvmd.app_lock);
    pthread_mutex_unlock(&kvmd.fg_lock);
    n_counter_set(kvmd_store.next_update_time, kvmd_ticks() + kvmd_store.update_interval);
    n_counter_set(kvmd_store.missed_updates, 0);
    pthread_cond_broadcast(&kvmd.store_cv);
out:
    pthread_mutex_unlock(&kvmd.store_lock);
}

/*
 * Consumers.
 */

void kv_metadata_export_api_lock_list_head(void) {
    pthread_mutex_lock(&kvmd.store_lock);
    kvmd_store.store_in_use++;
    pthread_mutex_unlock(&kvmd.store_lock);
}

void kv_metadata_export_api_unlock_list_head(void) {
    pthread_mutex_lock(&kvmd.store_lock);
    kvmd_store.store_in_use--;
    N_ASSERT(kvmd_store.store_in_use >= 0, "kvmd_store.store_in_use >=0");
    if (kvmd_store.store_in_use == 0) pthread_cond_signal(&kvmd.store_cv);
    pthread_mutex_unlock(&kvmd.store_lock);
}

void kv_metadata_export_app_flowgroups(uint32_t appid, uint64_t pid, uint32_t type, void *arg,
                                       kvmd_obj_cb cb) {
    if (type != KVMD_T_FLOWGROUP) return;
    kv_metadata_export_api_lock_list_head();
    if (kv_metadata_app_find(appid, 0, 0) != nullptr) {
        for (struct kv_metadata *c : *kvmd.exported) {
            const struct kv_metadata *a = c->kmd_fg.kmdfg_app;
            if (a == nullptr || a->kmd_app.kmda_appid != appid) continue;
            if (pid == 0 || a->kmd_app.kmda_pid == 0 || a->kmd_app.kmda_pid == pid) cb(arg, c);
        }
    }
    kv_metadata_export_api_unlock_list_head();
}

void kv_metadata_export_list(uint32_t type, void *arg, kvmd_obj_cb cb) {
    if (type == KVMD_T_FLOWGROUP) {
        kv_metadata_export_api_lock_list_head();
        for (struct kv_metadata *c : *kvmd.exported)
            if (c->kmd_fg.kmdfg_app == nullptr) cb(arg, c);
        kv_metadata_export_api_unlock_list_head();
    } else if (type == KVMD_T_RECENT) {
        pthread_mutex_lock(&kvmd.recent_lock);
        uint64_t now = kvmd_ticks();
        for (struct kv_metadata *o : kvmd.recent) {
            if (now > o->kmd_last_update && now - o->kmd_last_update > KVMD_RECENT_USEC) break;
            cb(arg, o);
        }
        pthread_mutex_unlock(&kvmd.recent_lock);
    }
}

int kv_metadata_export_latest(uint64_t since, uint32_t type, void *arg, kvmd_obj_cb cb) {
    if (type != KVMD_T_LATEST) return 1;
    int r = 0;
    pthread_mutex_lock(&kvmd.latest_lock);
    struct kv_metadata *o = kvmd.latest;
    if (o != nullptr && o->kmd_head != nullptr && o->kmd_head->kh_nvars != 0 &&
        kv_metadata_values(o)[0].kr_value.u64 > since) {
        cb(arg, o);
        r = 1;
    }
    pthread_mutex_unlock(&kvmd.latest_lock);
    return r;
}

void kv_metadata_events_iterate(uint32_t since, void *arg,
                                void (*cb)(void *arg, struct kv_md_event *ev)) {
    pthread_mutex_lock(&kvmd.event_lock);
    for (struct kv_md_event *ev : kvmd.events)
        if (ev->ev_time > since) cb(arg, ev);
    pthread_mutex_unlock(&kvmd.event_lock);
}

int kv_metadata_config_status_find(void *arg, uint64_t id,
                                   void (*cb)(void *arg, struct kv_md_cfg_status *cs)) {
    int r = -1;
    pthread_mutex_lock(&kvmd.cfg_lock);
    for (struct kv_md_cfg_status *cs : kvmd.cfg)
        if (cs->cs_id == id) {
            cb(arg, cs);
            r = 0;
            break;
        }
    pthread_mutex_unlock(&kvmd.cfg_lock);
    return r;
}

void kv_metadata_config_status_iterate(void *arg,
                                       void (*cb)(void *arg, struct kv_md_cfg_status *cs)) {
    pthread_mutex_lock(&kvmd.cfg_lock);
    for (struct kv_md_cfg_status *cs : kvmd.cfg)
        cb(arg, cs);
    pthread_mutex_unlock(&kvmd.cfg_lock);
}

int kv_metadata_ip_export(uint64_t *since, void *arg, void (*cb)(void *arg, struct kv_md_ip *ip)) {
    int r = -1;
    pthread_mutex_lock(&kvmd.ip_lock);
    struct kv_md_ip *first = kvmd.ip.first();
    if (first != nullptr && first->ts > *since) {
        uint64_t old = *since;
        *since = first->ts;
        for (struct kv_md_ip *ip = first; ip != nullptr && ip->ts > old;
             ip = kv_md_ip_list::next(ip))
            cb(arg, ip);
        r = 0;
    }
    pthread_mutex_unlock(&kvmd.ip_lock);
    return r;
}

int kv_dpi_data_export(uint64_t *since, uint32_t appid, void *arg, kvmd_dpi_cb cb) {
    pthread_mutex_lock(&kvmd.fg_lock);
    kvmd_dpi_lock();
    uint64_t old = *since, newest = *since;
    int i = 0;
    for (struct kv_dpi_data *dd = kvmd.dpi.first(); dd != nullptr; dd = kvmd.dpi_walk_next) {
        kvmd.dpi_walk_next = kv_dpi_data_list::next(dd);
        if (dd->fg_ts <= old) continue;
        if (dd->fg_ts > newest) newest = dd->fg_ts;
        if (dd->key.fk_appid != appid) continue;
        kvmd.dpi_walk_cur = dd;
        cb(arg, dd, 9, i);
        // Each callback may have destroyed the record.
        for (struct kv_dpi_cc *cc = kvmd.dpi_walk_cur ? dd->cc_lru.first() : nullptr, *n;
             cc != nullptr && kvmd.dpi_walk_cur != nullptr; cc = n) {
            n = kv_dpi_cc_list::next(cc);
            if (cc->ts > old) cb(arg, cc, 8, i);
        }
        i++;
    }
    kvmd.dpi_walk_cur = kvmd.dpi_walk_next = nullptr;
    *since = newest;
    kvmd_dpi_unlock();
    pthread_mutex_unlock(&kvmd.fg_lock);
    return newest > old ? 0 : -1;
}

int kv_dpi_data_export_unowned(uint64_t *since, void *arg, kvmd_dpi_cb cb) {
    return kv_dpi_data_export(since, 0, arg, cb);
}

struct kv_metadata *kv_metadata_flowgroup_find(void *, const struct kv_flow_key *key,
                                               uint32_t type) {
    if (type != KVMD_T_FLOWGROUP) return nullptr;
    struct kv_metadata *found = nullptr;
    pthread_mutex_lock(&kvmd.fg_lock);
    for (struct kv_metadata *c : *kvmd.active)
        if (c->kmd_list_state == KVMD_LS_LISTED &&
            memcmp(&c->kmd_fg.kmdfg_key, key, sizeof(*key)) == 0) {
            found = c;
            break;
        }
    pthread_mutex_unlock(&kvmd.fg_lock);
    return found;
}

/*
 * File export.
 */

void kvmd_file_export_call_locked(uint16_t kind, void *obj) {
    kvmd.file_export_state.kind = kind;
    kvmd.file_export->ke_fn(&kvmd.file_export_state, obj, KVMD_EXPORT_SOURCE);
}

int kv_metadata_file_export_on(void) {
    pthread_mutex_lock(&kvmd.ip_lock);
    int on = kvmd.file_export_on;
    pthread_mutex_unlock(&kvmd.ip_lock);
    return on;
}

// The flag changes under all three locks, so that toggles are serialised
// and every file-export call (under the IP lock) sees a fetched descriptor.
void kv_metadata_file_export_toggle(void) {
    pthread_mutex_lock(&kvmd.fg_lock);
    kvmd_dpi_lock();
    pthread_mutex_lock(&kvmd.ip_lock);
    if (kvmd.file_export_on) {
        kvmd.file_export_on = 0;
    } else {
        if (kvmd.file_export == nullptr) kvmd.file_export = kv_get_export(0);
        if (kvmd.file_export == nullptr) {
            if (tr_mask & 1) tr_log(1, TR_ERROR, "Error getting file export");
        } else {
            kvmd.file_export_on = 1;
            kvmd_file_export_call_locked(KVMD_EXP_FGCC_LIST, &kvmd.dpi);
            kvmd_file_export_call_locked(KVMD_EXP_IP_LIST, &kvmd.ip);
        }
    }
    pthread_mutex_unlock(&kvmd.ip_lock);
    kvmd_dpi_unlock();
    pthread_mutex_unlock(&kvmd.fg_lock);
}

/*
 * Text form.
 */

static char kvmd_kind_letter(uint32_t kind) {
    switch (kind & 7) {
        case 1:
            return 'A';
        case 2:
            return 'C';
        default:
            return 'U';
    }
}

static void kvmd_dump_ip(FILE *f, const struct kv_md_ip *ip) {
    fprintf(f, "IP=ts:%lu,ip:%.*s,fqdn:%.*s", static_cast<unsigned long>(ip->ts),
            static_cast<int>(sizeof(ip->ip)), ip->ip, static_cast<int>(sizeof(ip->fqdn)), ip->fqdn);
}

static void kvmd_dump_fgcc(FILE *f, const struct kv_dpi_data *dd) {
    const auto *s = reinterpret_cast<const uint8_t *>(&dd->key.fk_src);
    const auto *d = reinterpret_cast<const uint8_t *>(&dd->key.fk_dst);
    fprintf(f,
            "FGCC=appid:%d,src:%d.%d.%d.%d,dst:%d.%d.%d.%d,dport:%d,proto=:%s,fg_ts:%lu,"
            "cc_count:%u,cc_lru:{",
            static_cast<int>(dd->key.fk_appid), s[0], s[1], s[2], s[3], d[0], d[1], d[2], d[3],
            ntohs(dd->key.fk_dport), "tcp", static_cast<unsigned long>(dd->fg_ts),
            static_cast<unsigned>(dd->cc_count));
    int i = 0;
    for (const struct kv_dpi_cc *cc : dd->cc_lru) {
        if (i != 0) fputs("--", f);
        fprintf(f, "[%d:CC=ts:%lu,appid:%d,(from:%c%d)->(to:%c%d)]", i,
                static_cast<unsigned long>(cc->ts), static_cast<int>(cc->conn.appid),
                kvmd_kind_letter(cc->conn.from_kind), static_cast<int>(cc->conn.from_id),
                kvmd_kind_letter(cc->conn.to_kind), static_cast<int>(cc->conn.to_id));
        i++;
    }
    fputc('}', f);
}

template <class List, class Fn>
static void kvmd_dump_list(FILE *f, const List *l, Fn item) {
    fputs("LIST={", f);
    int i = 0;
    for (auto *e : *l) {
        if (i != 0) fputs("--", f);
        fprintf(f, "[%d:", i++);
        item(f, e);
        fputc(']', f);
    }
    fputc('}', f);
}

void kv_metadata_dump(FILE *stream, const void *obj, int kind) {
    switch (kind) {
        case KVMD_EXP_IP:
            kvmd_dump_ip(stream, static_cast<const struct kv_md_ip *>(obj));
            break;
        case KVMD_EXP_FGCC:
            kvmd_dump_fgcc(stream, static_cast<const struct kv_dpi_data *>(obj));
            break;
        case KVMD_EXP_FGCC_LIST:
            kvmd_dump_list(stream, static_cast<const kv_dpi_data_list *>(obj), kvmd_dump_fgcc);
            break;
        case KVMD_EXP_IP_LIST:
            kvmd_dump_list(stream, static_cast<const kv_md_ip_list *>(obj), kvmd_dump_ip);
            break;
        default:
            break;
    }
}
