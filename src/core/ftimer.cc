// ftimer: hashed timer wheels.
//
// A wheel belongs to one thread; nothing here is locked.  ftimer_stats is
// written by that thread and read by the control-socket thread through
// relaxed atomic counters.
//
// A run takes the entries of the passed buckets onto the expired list and
// then always fires the list's current head: the list is re-read after every
// callback, never a successor saved before it, so a callback may unschedule
// (or give back to its pool) any other entry of the wheel, on the list or
// not.
#include "core/ftimer.h"

#include <cstring>

#include "core/logging.h"
#include "core/nassert.h"
#include "core/ncounter.h"
#include "core/netctl/netctl_vars.h"
#include "core/nmem.h"
#include "core/sysinit.h"
#include "core/timestamp.h"

struct ftimer_stats ftimer_stats;

static constexpr int FTIMER_MIN_BUCKETS = 32;
static constexpr int FTIMER_MAX_BUCKETS = 16384;
static constexpr uint64_t FTIMER_LATENESS_MAX = 0x7fffffff;

/*
 * Lists headed by a single pointer: a bucket or the expired list.
 */

static inline void ftimer_link(struct ftimer_entry **head, struct ftimer_entry *ft) {
    ft->ft_next = *head;
    if (*head != nullptr) (*head)->ft_prev = &ft->ft_next;
    *head = ft;
    ft->ft_prev = head;
}

static inline void ftimer_unlink(struct ftimer_entry *ft) {
    if (ft->ft_next != nullptr) ft->ft_next->ft_prev = ft->ft_prev;
    *ft->ft_prev = ft->ft_next;
    ft->ft_next = nullptr;
    ft->ft_prev = nullptr;
}

static inline uint32_t ftimer_bucket(const struct ftimer_wheel *fth, uint64_t t) {
    return (static_cast<uint32_t>(t / fth->fth_tick) + 1) & fth->fth_mask;
}

// Running average: the first sample, then the mean of average and sample.
static inline uint64_t ftimer_avg(uint64_t avg, uint64_t sample) {
    return avg == 0 ? sample : (avg + sample) >> 1;
}

// Both copies of a counter: the wheel's own and the process-wide one.
static inline void ftimer_count(struct ftimer_wheel *fth, uint64_t ftimer_stats::*field) {
    fth->fth_stats.*field += 1;
    n_counter_inc(ftimer_stats.*field);
}

static inline void ftimer_fold(struct ftimer_wheel *fth, uint64_t ftimer_stats::*field,
                               uint64_t sample) {
    fth->fth_stats.*field = ftimer_avg(fth->fth_stats.*field, sample);
    n_counter_set(ftimer_stats.*field, ftimer_avg(n_counter_get(ftimer_stats.*field), sample));
}

struct ftimer_wheel *ftimer_create(ftimer_fn func, int nbuckets, int tick) {
    N_ASSERT(((nbuckets - 1) & nbuckets) == 0);
    // A zero width would divide by zero at the first schedule.
    N_ASSERT(tick >= 1);
    if (nbuckets < FTIMER_MIN_BUCKETS) nbuckets = FTIMER_MIN_BUCKETS;
    if (nbuckets > FTIMER_MAX_BUCKETS) nbuckets = FTIMER_MAX_BUCKETS;
    auto *fth = static_cast<struct ftimer_wheel *>(nmem_alloc(
        uint32_t(sizeof(struct ftimer_wheel) + sizeof(struct ftimer_entry *) * uint32_t(nbuckets)),
        NMEM_ZERO));
    N_ASSERT(fth != ((void *)0));
    fth->fth_nbuckets = uint32_t(nbuckets);
    fth->fth_tick = uint32_t(tick);
    fth->fth_mask = uint32_t(nbuckets) - 1;
    fth->fth_func = func;
    fth->fth_maxticks = uint64_t(uint32_t(tick)) * uint32_t(nbuckets);
    fth->fth_stats.fts_adds = 1;
    n_counter_inc(ftimer_stats.fts_adds);
    return fth;
}

// Links an entry whose ft_time is set into the bucket after its width.
static inline void ftimer_insert(struct ftimer_wheel *fth, struct ftimer_entry *ft) {
    ftimer_link(&fth->fth_buckets[ftimer_bucket(fth, ft->ft_time)], ft);
    ftimer_count(fth, &ftimer_stats::fts_sched);
}

void ftimer_sched(struct ftimer_wheel *fth, struct ftimer_entry *ft, int to_ticks) {
    // Scheduled means linked: at ticks 0 a zero delay leaves ft_time 0 on a
    // linked entry.
    N_ASSERT(!ftimer_scheduled(ft), "ft->ft_time == 0");
    N_ASSERT(static_cast<uint64_t>(static_cast<int64_t>(to_ticks)) < fth->fth_maxticks,
             "to_ticks < fth->fth_maxticks");
    ft->ft_time = ticks + static_cast<uint64_t>(to_ticks);
    ftimer_insert(fth, ft);
}

void ftimer_unsched(struct ftimer_wheel *fth, struct ftimer_entry *ft) {
    if (!ftimer_scheduled(ft)) return;
    ftimer_unlink(ft);
    ft->ft_time = 0;
    ftimer_count(fth, &ftimer_stats::fts_unsched);
}

// Moves the entries of bucket i onto the expired list, head first.
static inline uint64_t ftimer_sweep(struct ftimer_wheel *fth, uint32_t i) {
    uint64_t n = 0;
    while (struct ftimer_entry *ft = fth->fth_buckets[i]) {
        ftimer_unlink(ft);
        ftimer_link(&fth->fth_expired, ft);
        n++;
    }
    return n;
}

void ftimer_run(struct ftimer_wheel *fth) {
    uint64_t now = ticks;
    const uint32_t target = ftimer_bucket(fth, now);
    uint64_t count = 0;
    if (now / fth->fth_tick - fth->fth_last / fth->fth_tick >= fth->fth_nbuckets) {
        // A whole turn or more since the last run: every bucket once.
        for (uint32_t n = 0; n < fth->fth_nbuckets; n++)
            count += ftimer_sweep(fth, (fth->fth_cursor + n) & fth->fth_mask);
    } else {
        for (uint32_t i = fth->fth_cursor; i != target; i = (i + 1) & fth->fth_mask)
            count += ftimer_sweep(fth, i);
    }
    fth->fth_cursor = target;
    fth->fth_last = now;

    bool first = true;
    while (struct ftimer_entry *ft = fth->fth_expired) {
        if (!first) now = ticks;
        first = false;
        ftimer_unlink(ft);
        // Due once its bucket's width has passed; a later turn's entry, or
        // one of the current width met by a whole-turn sweep, goes back with
        // its due time unchanged.
        if (ft->ft_time > now || ft->ft_time / fth->fth_tick == now / fth->fth_tick) {
            ftimer_count(fth, &ftimer_stats::fts_resched);
            ftimer_insert(fth, ft);
            continue;
        }
        uint64_t late = now - ft->ft_time;
        if (late > FTIMER_LATENESS_MAX) late = FTIMER_LATENESS_MAX;
        ft->ft_time = 0;
        fth->fth_func(ft->ft_arg, static_cast<uint32_t>(late));
        ftimer_count(fth, &ftimer_stats::fts_fired);
        ftimer_fold(fth, &ftimer_stats::fts_delta_avg, late);
    }
    ftimer_fold(fth, &ftimer_stats::fts_depth_avg, count);
}

/*
 * Statistics publication.
 */

// clang-format off
static struct kv_var ftimer_kv_vars[] = {
    {"adds", KV_T_U64, 0, 8, 0, 0, offsetof(struct ftimer_stats, fts_adds)},
    {"dels", KV_T_U64, 0, 8, 0, 0, offsetof(struct ftimer_stats, fts_dels)},
    {"sched", KV_T_U64, 0, 8, 0, 0, offsetof(struct ftimer_stats, fts_sched)},
    {"resched", KV_T_U64, 0, 8, 0, 0, offsetof(struct ftimer_stats, fts_resched)},
    {"unsched", KV_T_U64, 0, 8, 0, 0, offsetof(struct ftimer_stats, fts_unsched)},
    {"fired", KV_T_U64, 0, 8, 0, 0, offsetof(struct ftimer_stats, fts_fired)},
    {"delta_avg", KV_T_U64, 0, 8, 0, 0, offsetof(struct ftimer_stats, fts_delta_avg)},
    {"depth_avg", KV_T_U64, 0, 8, 0, 0, offsetof(struct ftimer_stats, fts_depth_avg)},
};
// clang-format on

struct kv_head ftimer_kv_head = {
    "ftstats",
    2,
    0,
    sizeof(ftimer_kv_vars) / sizeof(ftimer_kv_vars[0]),
    {0, 0, 0, 0},
    sizeof(struct ftimer_stats),
    nullptr,
    ftimer_kv_vars,
    nullptr,
    nullptr,
    {nullptr, nullptr},
};

void ftimer_mod_init(void *) {
    netctl_register_vars("core.ftimer.stats", &ftimer_kv_head, &ftimer_stats, 0, nullptr);
}
SYSINIT(ftimer_mod, "ftimer_mod", SI_SUB_CLOCKS, SI_ORDER_ANY, ftimer_mod_init, nullptr);
