// kv_metadata: the metadata store and its export side.
//
// The store keeps what the agent knows about the traffic it watches:
// flow groups with their kv values, the application records they belong
// to, IP address records and per-flow-group connection caches (FGCC
// records).  Producers create, update and destroy these objects from any
// thread; consumers read a consistent snapshot of the previous interval
// through the export side, which an update cycle publishes at most once per
// update interval.
//
// Flow groups are double-buffered.  Each has two copies with a private index
// (0 and 1); the store's current copy selects which of them producers write
// (the active copy) while consumers read the other (the exported copy).  A
// flow group created during an interval has its second copy on the incoming
// list until the next cycle.  The cycle flips the current copy, swaps the
// active and export lists, moves the incoming copies to the new active list,
// finishes deferred destroys and publishes the application records created
// during the interval.
//
// Locks, all process-wide default mutexes, taken only in this order:
//   store -> flow group -> application
//   flow group -> DPI -> IP
// and each of most-recent, latest, event and config-status alone.  The
// store lock guards the use count of the export side, the missed-update
// count and the whole update cycle; its condition variable wakes a cycle
// that waits for the last consumer.  The flow-group lock guards the four
// store lists, twins, copy values and the pending-destroy list.  Consumers
// that hold the export side walk the export list and the published
// application list without any other lock: while the use count is above 0
// no cycle runs, and producers never touch an exported copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core/kv.h"
#include "core/queue.h"

// Object types.
inline constexpr uint32_t KVMD_T_APP = 1;
inline constexpr uint32_t KVMD_T_FLOWGROUP = 2;
inline constexpr uint32_t KVMD_T_RECENT = 3;
inline constexpr uint32_t KVMD_T_LATEST = 5;
inline constexpr uint32_t KVMD_T_IP = 7;

// List states.  Flow groups: incoming, active or exported, pending destroy.
// Application records: new, published.
inline constexpr uint8_t KVMD_LS_INCOMING = 0;
inline constexpr uint8_t KVMD_LS_LISTED = 1;
inline constexpr uint8_t KVMD_LS_PENDING = 2;

inline constexpr uint16_t KVMD_F_NEWVALUES = 0x0001;

// Flow key, compared as a whole 32 bytes.  Addresses and ports in network
// order.  Callers zero the key before filling it.
struct kv_flow_key {
    uint32_t fk_src;    // IPv4 source address
    uint32_t fk_dst;    // IPv4 destination address
    uint16_t fk_sport;  // source port (free use)
    uint16_t fk_dport;  // destination port
    uint8_t fk_proto;   // protocol (free use)
    uint8_t fk_spare[3];
    uint32_t fk_appid;
    uint32_t fk_spare2;
    uint64_t fk_pid;
};
static_assert(sizeof(struct kv_flow_key) == 32);
static_assert(offsetof(struct kv_flow_key, fk_src) == 0);
static_assert(offsetof(struct kv_flow_key, fk_dst) == 4);
static_assert(offsetof(struct kv_flow_key, fk_dport) == 10);
static_assert(offsetof(struct kv_flow_key, fk_appid) == 16);
static_assert(offsetof(struct kv_flow_key, fk_pid) == 24);

// Metadata object: a flow-group copy, an application record, or a type 3
// or 5 object.  Followed in memory by one kv value record per variable of
// its head (kv_metadata_values).
struct kv_metadata {
    struct kv_head *kmd_head;
    tailq_entry<kv_metadata> kmd_export_list;  // store lists
    tailq_entry<kv_metadata> kmd_app_list;     // application lists
    tailq_entry<kv_metadata> kmd_pending;      // pending-destroy list
    union {
        struct {
            struct kv_flow_key kmdfg_key;
            struct kv_metadata *kmdfg_app;
        } kmd_fg;
        struct {
            uint32_t kmda_appid;
            uint64_t kmda_pid;
            // Two per flow group; 32 bits so that a busy application cannot
            // wrap it.
            uint32_t kmda_ref_count;
        } kmd_app;
    };
    uint16_t kmd_flags;        // KVMD_F_*
    uint32_t kmd_type;         // KVMD_T_*
    uint8_t kmd_list_state;    // KVMD_LS_*
    uint8_t kmd_copy;          // flow groups: 0 first copy, 1 second
    uint64_t kmd_last_update;  // ticks of the last value update
    uint64_t kmd_update_cycle; // store cycle of the last value update
    struct kv_metadata *kmd_twin;
};
static_assert(offsetof(struct kv_metadata, kmd_export_list) == 8);
static_assert(offsetof(struct kv_metadata, kmd_app_list) == 24);
static_assert(offsetof(struct kv_metadata, kmd_pending) == 40);
static_assert(offsetof(struct kv_metadata, kmd_fg.kmdfg_key) == 56);
static_assert(offsetof(struct kv_metadata, kmd_fg.kmdfg_app) == 88);
static_assert(offsetof(struct kv_metadata, kmd_app.kmda_appid) == 56);
static_assert(offsetof(struct kv_metadata, kmd_app.kmda_pid) == 64);
static_assert(offsetof(struct kv_metadata, kmd_app.kmda_ref_count) == 72);
static_assert(offsetof(struct kv_metadata, kmd_flags) == 96);
static_assert(offsetof(struct kv_metadata, kmd_type) == 100);
static_assert(offsetof(struct kv_metadata, kmd_list_state) == 104);
static_assert(offsetof(struct kv_metadata, kmd_last_update) == 112);
static_assert(offsetof(struct kv_metadata, kmd_update_cycle) == 120);
static_assert(offsetof(struct kv_metadata, kmd_twin) == 128);
static_assert(sizeof(struct kv_metadata) == 136);

inline struct kv_record *kv_metadata_values(struct kv_metadata *kmdp) {
    return reinterpret_cast<struct kv_record *>(kmdp + 1);
}

// IP record.
struct kv_md_ip {
    uint64_t ts;          // ticks at creation and at each effective update
    uint8_t address[16];  // socket address; first 16-bit field the family
    char ip[46];          // address text, written by the producer
    char fqdn[1025];      // host name, written by the producer
    uint8_t version;      // 1 for AF_INET, else 2
    tailq_entry<kv_md_ip> link;
};
static_assert(offsetof(struct kv_md_ip, address) == 8);
static_assert(offsetof(struct kv_md_ip, ip) == 24);
static_assert(offsetof(struct kv_md_ip, fqdn) == 70);
static_assert(offsetof(struct kv_md_ip, version) == 1095);
static_assert(offsetof(struct kv_md_ip, link) == 1096);

// Connection description given by the producer (20 bytes).
struct kv_dpi_conn {
    uint32_t appid;
    uint32_t from_kind;
    uint32_t from_id;
    uint32_t to_kind;
    uint32_t to_id;
};
static_assert(sizeof(struct kv_dpi_conn) == 20);

// Connection entry of an FGCC record.
struct kv_dpi_cc {
    uint64_t ts;
    struct kv_dpi_conn conn;
    tailq_entry<kv_dpi_cc> link;
};
static_assert(offsetof(struct kv_dpi_cc, conn) == 8);
static_assert(offsetof(struct kv_dpi_cc, link) == 32);
typedef tailq<kv_dpi_cc, &kv_dpi_cc::link> kv_dpi_cc_list;

// FGCC record: a flow group's cache of observed connections.
struct kv_dpi_data {
    kv_dpi_cc_list cc_lru;  // most recent first
    struct kv_flow_key key;
    uint16_t cc_count;
    uint64_t fg_ts;  // maintained by the producer
    tailq_entry<kv_dpi_data> link;
};
static_assert(offsetof(struct kv_dpi_data, key) == 16);
static_assert(offsetof(struct kv_dpi_data, cc_count) == 48);
static_assert(offsetof(struct kv_dpi_data, fg_ts) == 56);
static_assert(offsetof(struct kv_dpi_data, link) == 64);

typedef tailq<kv_md_ip, &kv_md_ip::link> kv_md_ip_list;
typedef tailq<kv_dpi_data, &kv_dpi_data::link> kv_dpi_data_list;

// Event message: input of kv_metadata_export_events without an object.
inline constexpr uint16_t KVMD_MSG_EVENT = 1;
inline constexpr uint16_t KVMD_MSG_CFG_STATUS = 2;
inline constexpr uint16_t KVMD_CFG_ADD = 1;
inline constexpr uint16_t KVMD_CFG_UPDATE = 2;

struct kv_md_msg {
    uint16_t km_kind;  // KVMD_MSG_*
    int32_t km_len;    // events: data length
    union {
        uint16_t km_code;  // events
        uint64_t km_id;    // configuration status
    };
    uint16_t km_status;
    uint16_t km_op;  // KVMD_CFG_*
    uint16_t km_detail;
    const void *km_data;  // events
};
static_assert(offsetof(struct kv_md_msg, km_len) == 4);
static_assert(offsetof(struct kv_md_msg, km_id) == 8);
static_assert(offsetof(struct kv_md_msg, km_status) == 16);
static_assert(offsetof(struct kv_md_msg, km_data) == 24);

struct kv_md_event {
    uint32_t ev_time;  // seconds since the epoch when queued
    uint16_t ev_code;
    tailq_entry<kv_md_event> ev_link;
    uint8_t ev_len;  // low 8 bits of the message's length
    char *ev_data;   // copy of the data and a NUL
};

struct kv_md_cfg_status {
    uint64_t cs_time;  // seconds since the epoch of the last add or update
    uint64_t cs_id;
    uint16_t cs_status;
    uint16_t cs_detail;
    tailq_entry<kv_md_cfg_status> cs_link;
};

// Store block, also the data block of "core.kv_metadata.store.stats".
struct kvmd_store {
    uint8_t current_copy;
    uint64_t update_cycle;
    uint64_t next_update_time;
    uint64_t update_interval;
    int32_t store_in_use;
    int32_t missed_updates;
    uint64_t store_in_use_count;
    uint64_t new_elems_added;
    uint64_t elems_deleted;
    uint64_t new_pids_added;
};
static_assert(offsetof(struct kvmd_store, update_cycle) == 8);
static_assert(offsetof(struct kvmd_store, next_update_time) == 16);
static_assert(offsetof(struct kvmd_store, store_in_use) == 32);
static_assert(offsetof(struct kvmd_store, missed_updates) == 36);
static_assert(offsetof(struct kvmd_store, store_in_use_count) == 40);
static_assert(offsetof(struct kvmd_store, new_elems_added) == 48);
static_assert(offsetof(struct kvmd_store, elems_deleted) == 56);
static_assert(offsetof(struct kvmd_store, new_pids_added) == 64);
static_assert(sizeof(struct kvmd_store) == 72);

// "core.kv_metadata.stats".
struct kvmd_stats {
    uint64_t existing;
    uint64_t allocs;
    uint64_t frees;
    uint64_t allocerr;
    uint64_t apps;
    uint64_t events;
    uint64_t events_err;
    uint64_t cfg_status;
    uint64_t cfg_flush;
    uint64_t cfg_expires;
};

extern struct kvmd_store kvmd_store;
extern struct kvmd_stats kvmd_stats;

// File-export object kinds (the first 16-bit field of the export state).
inline constexpr uint16_t KVMD_EXP_IP = 3;
inline constexpr uint16_t KVMD_EXP_FGCC = 4;
inline constexpr uint16_t KVMD_EXP_FGCC_LIST = 6;
inline constexpr uint16_t KVMD_EXP_IP_LIST = 7;
inline constexpr int KVMD_EXPORT_SOURCE = 4;

struct kvmd_export_state {
    uint16_t kind;
    uint8_t reserved[KV_EXPORT_STATE_SIZE - 2];
};

typedef void (*kvmd_obj_cb)(void *arg, struct kv_metadata *kmdp);

/*
 * Store (producers).
 */

// Start-up of kv_metadata_mod.
void kv_metadata_mod_init(void *arg);
// Update interval in µs for s seconds.
uint64_t kv_metadata_interval_usec(uint32_t s);

// Makes an object of type with room for the head's values; type 2 makes a
// flow group (two copies, an application record for a non-zero appid) and
// returns its first copy.  Null when memory runs out.
struct kv_metadata *kv_metadata_create(const struct kv_flow_key *key, uint32_t type,
                                       struct kv_head *kh);
// Releases an object (type 2 through kv_metadata_flowgroup_destroy).
// Application records are refused: they go with their last reference.
void kv_metadata_destroy(struct kv_metadata *kmdp);
// Releases the flow group of either copy.  The exported copy stays readable
// until the next update cycle frees it.
void kv_metadata_flowgroup_destroy(struct kv_metadata *kmdp);
struct kv_metadata *kv_metadata_app_find(uint32_t appid, uint64_t pid, int new_list);

struct kv_md_ip *kv_metadata_create_object(uint32_t type, const void *address);
void kv_metadata_destroy_internal(uint32_t type, void *record);
// change(record, arg) returns 0 when it changed the record.
typedef int (*kvmd_change_fn)(void *record, void *arg);
void kv_metadata_update(uint32_t type, void *record, kvmd_change_fn change, void *arg);

struct kv_dpi_data *kv_dpi_data_create(const struct kv_flow_key *key);
void kv_dpi_data_destroy(struct kv_dpi_data *dd);
// 0 recorded in a new entry, 1 nothing recorded (known, off, no room,
// failure), 2 recorded in the oldest entry.
int ip_flow_dpi_kvmd_cb(struct kv_dpi_data *dd, const struct kv_dpi_conn *conn, int limit);

/*
 * Export side.
 */

// Stores values for an object (nvars records), or with a null object
// queues the event or configuration-status change in msg.
void kv_metadata_export_events(struct kv_metadata *kmdp, const void *input);
void config_status_update(uint64_t id, uint16_t op, uint16_t status, uint16_t detail);
void kv_metadata_store_update(void);
void kv_metadata_file_export_toggle(void);
int kv_metadata_file_export_on(void);

void kv_metadata_export_api_lock_list_head(void);
void kv_metadata_export_api_unlock_list_head(void);
void kv_metadata_export_app_flowgroups(uint32_t appid, uint64_t pid, uint32_t type, void *arg,
                                       kvmd_obj_cb cb);
void kv_metadata_export_list(uint32_t type, void *arg, kvmd_obj_cb cb);
int kv_metadata_export_latest(uint64_t since, uint32_t type, void *arg, kvmd_obj_cb cb);
void kv_metadata_events_iterate(uint32_t since, void *arg,
                                void (*cb)(void *arg, struct kv_md_event *ev));
int kv_metadata_config_status_find(void *arg, uint64_t id,
                                   void (*cb)(void *arg, struct kv_md_cfg_status *cs));
void kv_metadata_config_status_iterate(void *arg,
                                       void (*cb)(void *arg, struct kv_md_cfg_status *cs));
int kv_metadata_ip_export(uint64_t *since, void *arg, void (*cb)(void *arg, struct kv_md_ip *ip));
// cb(arg, item, kind, index): kind 9 an FGCC record, kind 8 one of its
// connection entries.
typedef void (*kvmd_dpi_cb)(void *arg, void *item, int kind, int index);
int kv_dpi_data_export(uint64_t *since, uint32_t appid, void *arg, kvmd_dpi_cb cb);
int kv_dpi_data_export_unowned(uint64_t *since, void *arg, kvmd_dpi_cb cb);
// The active copy of the flow group of key (type 2), or null.
struct kv_metadata *kv_metadata_flowgroup_find(void *arg, const struct kv_flow_key *key,
                                               uint32_t type);
// Text form of an object: kinds 3 (IP record), 4 (FGCC record), 6 (FGCC
// list head), 7 (IP list head).
void kv_metadata_dump(FILE *stream, const void *obj, int kind);
