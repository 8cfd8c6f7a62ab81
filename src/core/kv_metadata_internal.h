// kv_metadata internals shared by the store and its export side, and the
// seams that the tests drive (the wall clock, the list heads).
#pragma once

#include <pthread.h>
#include <time.h>

#include "core/kv_metadata.h"
#include "core/ncounter.h"
#include "core/timestamp.h"

typedef tailq<kv_metadata, &kv_metadata::kmd_export_list> kvmd_list;
typedef tailq<kv_metadata, &kv_metadata::kmd_app_list> kvmd_app_list;
typedef tailq<kv_metadata, &kv_metadata::kmd_pending> kvmd_pending_list;
typedef tailq<kv_md_event, &kv_md_event::ev_link> kvmd_event_list;
typedef tailq<kv_md_cfg_status, &kv_md_cfg_status::cs_link> kvmd_cfg_list;

struct kvmd_state {
    kvmd_list lists[4];  // the four store lists, reached through the pointers
    kvmd_list *active;
    kvmd_list *exported;
    kvmd_list *incoming;
    kvmd_pending_list pending;
    kvmd_app_list apps_new;
    kvmd_app_list apps_published;
    kvmd_list recent;  // type 3, most recently updated first
    struct kv_metadata *latest;
    kvmd_event_list events;
    kvmd_cfg_list cfg;
    kv_md_ip_list ip;
    kv_dpi_data_list dpi;
    // The DPI export's cursor: a callback may destroy the record it is
    // given, or the next one (DPI lock held).
    struct kv_dpi_data *dpi_walk_cur, *dpi_walk_next;
    uint8_t file_export_on;
    struct kv_export *file_export;
    struct kvmd_export_state file_export_state;
    pthread_mutex_t fg_lock, app_lock, dpi_lock, ip_lock, recent_lock, latest_lock, event_lock,
        cfg_lock, store_lock;
    pthread_cond_t store_cv;
};
extern struct kvmd_state kvmd;

// Statistics: atomic adds, read by the control-socket thread.
inline void kvmd_add(uint64_t &c, int64_t d) {
    __atomic_fetch_add(&c, static_cast<uint64_t>(d), __ATOMIC_RELAXED);
}

inline uint64_t kvmd_ticks(void) {
    return n_counter_get(ticks);
}

// Seconds since the epoch, time(nullptr) unless a test installed a clock.
extern time_t (*kvmd_wall_clock)(void);

// Which copy producers write: the one whose index the current copy names.
inline bool kvmd_is_active(const struct kv_metadata *kmdp) {
    return kmdp->kmd_list_state == KVMD_LS_LISTED && kmdp->kmd_copy == kvmd_store.current_copy;
}
inline bool kvmd_is_exported(const struct kv_metadata *kmdp) {
    return kmdp->kmd_list_state == KVMD_LS_LISTED && kmdp->kmd_copy != kvmd_store.current_copy;
}

// DPI lock held by this thread through the store (export walks, toggles).
void kvmd_dpi_lock(void);
void kvmd_dpi_unlock(void);

// Frees the pending copies; the cycle calls it holding the flow-group and
// application locks.
void kvmd_finish_pending_locked(void);
void kvmd_export_init(void);
void kvmd_file_export_call_locked(uint16_t kind, void *obj);
