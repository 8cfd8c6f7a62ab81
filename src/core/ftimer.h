// ftimer: hashed timer wheels for large numbers of per-object timers.
//
// A wheel is a power-of-two array of buckets, each fth_tick microseconds of
// ticks wide.  An entry due at time t sits in the bucket after the one whose
// width holds t, so a sweep meets it only once that whole width has passed
// and a fired entry is never early.  ftimer_run sweeps the buckets time has
// passed since the last run onto the expired list, fires the entries that
// are due through the wheel's one callback and puts back those that belong
// to a later turn.
//
// Scheduling and unscheduling are constant time: bucket heads are single
// pointers and an entry unlinks through its previous link, whether it sits
// in a bucket or on the expired list of a run in progress.  An entry is
// scheduled exactly when it is linked (ftimer_scheduled); ft_time is its due
// time and is cleared when it is unscheduled or fires.
//
// No locks: a wheel belongs to one thread, normally the main poll thread,
// which schedules, unschedules and runs it.  The process-wide statistics are
// also read by the control-socket thread, through relaxed atomic counters.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/kv.h"

struct ftimer_entry {
    uint64_t ft_arg;   // the owner's, handed to the callback
    uint64_t ft_time;  // due time in ticks while scheduled, else 0
    struct ftimer_entry *ft_next;
    struct ftimer_entry **ft_prev;  // previous entry's ft_next or the list head; null: unlinked
};
static_assert(sizeof(struct ftimer_entry) == 32);
static_assert(offsetof(struct ftimer_entry, ft_next) == 16);

// Statistics, per wheel and process-wide, in this order.
struct ftimer_stats {
    uint64_t fts_adds;       // wheels created
    uint64_t fts_dels;       // wheels removed (none ever is)
    uint64_t fts_sched;      // ftimer_sched calls, reschedules by runs included
    uint64_t fts_resched;    // entries met by a run before they were due
    uint64_t fts_unsched;    // entries taken off by ftimer_unsched
    uint64_t fts_fired;      // callbacks made
    uint64_t fts_delta_avg;  // running average of the lateness of fired entries, µs
    uint64_t fts_depth_avg;  // running average of the entries swept per run
};
static_assert(sizeof(struct ftimer_stats) == 64);

// Callback: (ft_arg, lateness in µs, at most 2^31 - 1).  The entry is
// unscheduled when it runs, so it may schedule it again; it may also
// unschedule any other entry of the wheel.
typedef void (*ftimer_fn)(uint64_t arg, uint32_t lateness);

struct ftimer_wheel {
    uint32_t fth_nbuckets;  // a power of two, 32..16384
    uint32_t fth_tick;      // bucket width, µs, at least 1
    uint32_t fth_mask;      // fth_nbuckets - 1
    uint32_t fth_cursor;    // next bucket to sweep
    uint64_t fth_last;      // ticks at the last run
    uint64_t fth_maxticks;  // fth_tick * fth_nbuckets; delays must be below it
    struct ftimer_stats fth_stats;
    ftimer_fn fth_func;
    struct ftimer_entry *fth_expired;  // entries taken off the buckets by the run in progress
    struct ftimer_entry *fth_buckets[];
};
static_assert(offsetof(struct ftimer_wheel, fth_stats) == 32);

extern struct ftimer_stats ftimer_stats;

// A wheel of nbuckets buckets (0 or a power of two, clamped to 32..16384)
// of tick µs each.  A bucket count that is not a power of two, a tick below
// 1 and no memory stop the process.
struct ftimer_wheel *ftimer_create(ftimer_fn func, int nbuckets, int tick);
// Schedules an unscheduled entry to fall due to_ticks µs from now.  An entry
// already scheduled, and a delay not below fth_maxticks (negative ones
// included), stop the process.
void ftimer_sched(struct ftimer_wheel *fth, struct ftimer_entry *ft, int to_ticks);
// Takes a scheduled entry off the wheel; nothing for an unscheduled one.
void ftimer_unsched(struct ftimer_wheel *fth, struct ftimer_entry *ft);
// Sweeps the buckets time has passed and fires what is due.
void ftimer_run(struct ftimer_wheel *fth);

inline bool ftimer_scheduled(const struct ftimer_entry *ft) {
    return ft->ft_prev != nullptr;
}

// The kv head that describes ftimer_stats ("ftstats").
extern struct kv_head ftimer_kv_head;
// Start-up of ftimer_mod: publishes "core.ftimer.stats".
void ftimer_mod_init(void *arg);
