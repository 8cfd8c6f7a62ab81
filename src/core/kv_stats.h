// kv_stats: interval counters rolled up on a schedule.
//
// A kvs pairs a kv head with a data block into which its owner counts
// during an interval.  At every tick of its sample schedule the block goes
// to the export functions, is added into the parent kvs's block and into a
// running total, and is cleared (KVS_RESET).  Additions are made at each
// variable's width and wrap; strings are skipped; variables of type 0 or 6
// and above cannot be added and stop the process when a tick must add them.
//
// Ticks come from one hashed timer wheel (2048 buckets of 62500 µs) that a
// self-renewing callout runs every 62500 µs, on the main poll thread.  The
// module takes no lock.  A tick reschedules from the time it runs, so a
// "1 s" schedule ticks about every 1.06 s.
#pragma once

#include <cstdint>

#include "core/ftimer.h"
#include "core/kv.h"

inline constexpr uint8_t KVS_RESET = 0x01;   // clear data after each tick
inline constexpr uint8_t KVS_SCHED = 0x02;   // has a timer entry on the kvs wheel
inline constexpr uint8_t KVS_EXPORT = 0x04;  // has exports
inline constexpr uint8_t KVS_PARENT = 0x08;  // adds its data into the parent's at each tick

inline constexpr int KVS_POOL_SIZE = 65536;
inline constexpr int KVS_WHEEL_BUCKETS = 2048;
inline constexpr int KVS_WHEEL_TICK = 62500;

struct kvs {
    uint8_t kvs_flags;
    struct kv_head *kvs_head;  // describes data, total and the parent's data
    struct kvs *kvs_pkvs;      // rolled up into; same head
    void *kvs_data;            // the current interval's block
    struct kv_sample *kvs_sample;
    alignas(8) char kvs_export_state[KV_EXPORT_STATE_SIZE];
    void *kvs_arg;    // for the sample callback
    void *kvs_total;  // every interval added up; optional
    kv_export_list kvs_exports;
    tailq_entry<kvs> kvs_link;
    struct ftimer_entry kvs_timer;  // ft_arg is the object
};

// A kvs taken from the pool, registered, its timer running when sample_type
// is not 0; null when the pool is empty.  An unregistered or out-of-range
// sample type, and a sample interval of 128 s or more, stop the process.
struct kvs *kvs_create(struct kv_head *kh, uint8_t flags, int sample_type, int export_mask);
// Unregisters and returns the object to the pool.  Unregistering first, or
// twice, is harmless.
void kvs_destroy(struct kvs *kvs);
void kvs_register(struct kvs *kvs);
void kvs_unregister(struct kvs *kvs);
// The wheel's callback: one tick of the object whose address is arg.
void kvs_update(uint64_t arg, uint32_t lateness);
// Adds data into the parent's data.  No parent, or one of another head,
// stops the process.
void kvs_rollup(struct kvs *kvs);
// The sample callback and the rollup now; cancel takes the timer off.
void kvs_flush(struct kvs *kvs, int cancel);
// Variable i of data, plus the total when with_total is set and there is
// one: the value since the start.  -1 for an index beyond the head.
int kvs_read_index(struct kvs *kvs, int i, struct kv_record *r, int with_total);
int kvs_nvars(const struct kvs *kvs);

void kv_stats_mod_init(void *arg);
