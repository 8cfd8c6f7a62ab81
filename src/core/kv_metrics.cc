// kv_metrics: sampled moving-average metrics with outlier events.
//
// Everything here runs on the main poll thread (expiries from the wheel,
// which the kvm_poll callout runs) or on the owner's thread between them;
// the module takes no lock.  kvm_stats is also read by the control-socket
// thread, so it is written through relaxed atomic counters.
#include "core/kv_metrics.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <functional>

#include "core/agent_config.h"
#include "core/kern_timeout.h"
#include "core/logging.h"
#include "core/nassert.h"
#include "core/ncounter.h"
#include "core/netctl/netctl_vars.h"
#include "core/nmem.h"
#include "core/sysinit.h"

struct kvm_stats kvm_stats;

static struct nmem_pool *kvm_pool;
static struct ftimer_wheel *kvm_wheel;
static tailq<kvm, &kvm::kvm_link> kvm_list = TAILQ_HEAD_INITIALIZER(kvm_list);

// The warm-up weights of the EMA: 0.18 of the sample and 1 - 0.18, as
// computed in double precision (0.8200000000000001, not 0.82).
static constexpr double EMA_WARM_X = 0.18;
static const double EMA_WARM_MEAN = 1.0 - EMA_WARM_X;
static constexpr double KVM_BAND = 3.0;  // events beyond avg ± 3 sdev

const struct kvm_ma_ops kvm_ma_ops_table[3] = {
    {nullptr, nullptr, nullptr},
    {sma_init, sma_fini, sma_update},
    {ema_init, ema_fini, ema_update},
};

/*
 * Moving averages.
 */

// The setup both windows share; counted in the average's counter.
static void kvm_ma_setup(struct kvm_ma *ma, int n, int type) {
    ma->ma_n = uint8_t(n);
    ma->ma_min = INFINITY;
    ma->ma_max = 0;
    if (type == KVM_T_EMA) {
        ma->ma_alpha = 2.0 / (n + 1.0);
        n_counter_inc(kvm_stats.ks_ema);
    } else {
        n_counter_inc(kvm_stats.ks_sma);
    }
}

static int kvm_ma_init(struct kvm_ma *ma, int n, int type, const char *failed) {
    ma->ma_window = static_cast<double *>(nmem_alloc(uint32_t(8 * n), NMEM_ZERO));
    if (ma->ma_window == nullptr) {
        tr_log(1, TR_ERROR, "%s", failed);
        return -1;
    }
    ma->ma_narrow_step = 0;
    kvm_ma_setup(ma, n, type);
    return 0;
}

int sma_init(struct kvm_ma *ma, int n) {
    return kvm_ma_init(ma, n, KVM_T_SMA, "sma_init: ema samples alloc failed");
}

int ema_init(struct kvm_ma *ma, int n) {
    return kvm_ma_init(ma, n, KVM_T_EMA, "ema_init: ema_samples alloc failed");
}

// Frees a window of doubles; a compact one belongs to its object's block.
static void kvm_ma_fini(struct kvm_ma *ma) {
    if (ma->ma_window != nullptr && ma->ma_narrow_step == 0) nmem_free(ma->ma_window);
    ma->ma_window = nullptr;
}
void sma_fini(struct kvm_ma *ma) {
    kvm_ma_fini(ma);
}
void ema_fini(struct kvm_ma *ma) {
    kvm_ma_fini(ma);
}

// The two kinds of window, read and written as doubles.
struct kvm_wide {
    double *w;
    double get(unsigned j) const { return w[j]; }
    void set(unsigned j, double x) const { w[j] = x; }
};
struct kvm_narrow {
    char *w;
    uint32_t step;
    uint32_t *at(unsigned j) const { return reinterpret_cast<uint32_t *>(w + j * step); }
    double get(unsigned j) const { return double(*at(j)); }
    void set(unsigned j, double x) const { *at(j) = uint32_t(x); }
};
static inline kvm_narrow kvm_ma_narrow(struct kvm_ma *ma) {
    return {reinterpret_cast<char *>(ma->ma_window), ma->ma_narrow_step};
}

// Does x come back from a compact entry as the same double, bit for bit?
static inline bool kvm_ma_fits(double x) {
    return x >= 0.0 && x < 4294967296.0 &&
           std::bit_cast<uint64_t>(double(uint32_t(x))) == std::bit_cast<uint64_t>(x);
}

// Moves a compact window to doubles on the heap; false when memory ran out.
static bool kvm_ma_widen(struct kvm_ma *ma) {
    auto *w = static_cast<double *>(nmem_alloc(uint32_t(8 * ma->ma_n), 0));
    if (w == nullptr) {
        tr_log(1, TR_ERROR, "kvm_ma_widen: window alloc failed");
        return false;
    }
    const kvm_narrow old = kvm_ma_narrow(ma);
    for (unsigned j = 0; j < ma->ma_n; j++)
        w[j] = old.get(j);
    ma->ma_window = w;
    ma->ma_narrow_step = 0;
    return true;
}

// Finds the window's extreme among the slots other than pos, starting from
// the new sample x, and counts its other copies.  Below picks the minimum
// (std::less) or the maximum (std::greater).
template <class Below, class W>
static inline double kvm_ma_rescan(const struct kvm_ma *ma, W win, double x, uint8_t *dups) {
    Below below;
    double m = x;
    *dups = 0;
    const unsigned n = ma->ma_n;
    for (unsigned j = (ma->ma_pos + 1u) % n; j != ma->ma_pos; j = (j + 1 == n ? 0 : j + 1)) {
        double v = win.get(j);
        if (below(v, m)) {
            m = v;
            *dups = 0;
        } else if (v == m) {
            (*dups)++;
        }
    }
    return m;
}

// The step shared by both averages: running sums, extremes, the ring.
template <class W>
static inline void kvm_ma_step(struct kvm_ma *ma, W win, double x) {
    const double old = win.get(ma->ma_pos);
    ma->ma_sum += x;
    ma->ma_sumsq += x * x;
    if (old != 0) {
        ma->ma_sum -= old;
        ma->ma_sumsq -= old * old;
    }
    if (ma->ma_count == ma->ma_n) {
        if (old == ma->ma_min && x > ma->ma_min) {
            if (ma->ma_min_dups > 0)
                ma->ma_min_dups--;
            else
                ma->ma_min = kvm_ma_rescan<std::less<double>>(ma, win, x, &ma->ma_min_dups);
        } else if (x < ma->ma_min) {
            ma->ma_min = x;
            ma->ma_min_dups = 0;
        }
        if (old == ma->ma_max && x < ma->ma_max) {
            if (ma->ma_max_dups > 0)
                ma->ma_max_dups--;
            else
                ma->ma_max = kvm_ma_rescan<std::greater<double>>(ma, win, x, &ma->ma_max_dups);
        } else if (x > ma->ma_max) {
            ma->ma_max = x;
            ma->ma_max_dups = 0;
        }
    } else if (ma->ma_count == 0) {
        // The first sample is both extremes: a maximum that started at 0
        // would never come down to a stream of negative characters.
        ma->ma_min = ma->ma_max = x;
        ma->ma_min_dups = ma->ma_max_dups = 0;
    } else {
        if (x < ma->ma_min) {
            ma->ma_min = x;
            ma->ma_min_dups = 0;
        }
        if (x > ma->ma_max) {
            ma->ma_max = x;
            ma->ma_max_dups = 0;
        }
    }
    win.set(ma->ma_pos, x);
    ma->ma_last = x;
    ma->ma_pos = uint8_t(ma->ma_pos + 1 == ma->ma_n ? 0 : ma->ma_pos + 1);
    if (ma->ma_count < ma->ma_n) ma->ma_count++;
}

// One sample into either average (Ema: the exponential one).  False, with
// the state as it was, when a compact window could not take the sample and
// no memory was left to widen it.
template <bool Ema>
static inline bool kvm_ma_update(struct kvm_ma *ma, double x) {
    if (__builtin_expect(ma->ma_narrow_step == 0, 0))
        kvm_ma_step(ma, kvm_wide{ma->ma_window}, x);
    else if (__builtin_expect(kvm_ma_fits(x), 1))
        kvm_ma_step(ma, kvm_ma_narrow(ma), x);
    else if (kvm_ma_widen(ma))
        kvm_ma_step(ma, kvm_wide{ma->ma_window}, x);
    else
        return false;
    if (!Ema) {
        ma->ma_avg = ma->ma_sum / ma->ma_count;
        ma->ma_var = std::fabs(ma->ma_sumsq / ma->ma_count - ma->ma_avg * ma->ma_avg);
    } else {
        if (ma->ma_avg != 0 && ma->ma_count == ma->ma_n) {
            ma->ma_avg = ma->ma_alpha * x + (1 - ma->ma_alpha) * ma->ma_avg;
            ma->ma_ema_sq = (1 - ma->ma_alpha) * ma->ma_ema_sq + ma->ma_alpha * (x * x);
        } else {
            const double mean = ma->ma_sum / ma->ma_count;
            const double meansq = ma->ma_sumsq / ma->ma_count;
            ma->ma_avg = EMA_WARM_X * x + EMA_WARM_MEAN * mean;
            ma->ma_ema_sq = EMA_WARM_MEAN * meansq + EMA_WARM_X * (x * x);
        }
        ma->ma_var = std::fabs(ma->ma_ema_sq - ma->ma_avg * ma->ma_avg);
    }
    ma->ma_sdev = std::sqrt(ma->ma_var);
    return true;
}

void sma_update(struct kvm_ma *ma, double x) {
    N_ASSERT(ma->ma_window != ((void *)0), "ma->_ma._sma.sma_data != ((void *)0)");
    kvm_ma_update<false>(ma, x);
}

void ema_update(struct kvm_ma *ma, double x) {
    N_ASSERT(ma->ma_window != ((void *)0), "ma->_ma._ema.ema_data != ((void *)0)");
    kvm_ma_update<true>(ma, x);
}

/*
 * Export records.
 */

// floor(v + 0.5), saturated to the range of the target type: values past
// either end, infinities included, give that end (NaN gives the low end).
// Truncation is floor for the non-negative sums, which keeps the common
// case to one conversion.
static inline uint64_t kvm_round_u64(double v) {
    const double r = v + 0.5;
    if (!(r >= 1.0)) return 0;
    if (r < 9223372036854775808.0) return static_cast<uint64_t>(static_cast<int64_t>(r));
    if (r >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<uint64_t>(r);
}

// The same for a range [lo, hi] of integers within int64_t.
static inline int64_t kvm_round_range(double v, double lo, double hi) {
    const double r = v + 0.5;
    if (!(r > lo)) return static_cast<int64_t>(lo);
    if (r >= hi + 1) return static_cast<int64_t>(hi);
    int64_t t = static_cast<int64_t>(r);
    if (r < 0 && static_cast<double>(t) != r) t--;
    return t;
}

static void kvm_write_record(struct kv_record *r, const struct kv_var *kv,
                             const struct kvm_ma *ma) {
    double chosen = (kv->kv_flags & KVF_OUT_SUM)    ? ma->ma_sum
                    : (kv->kv_flags & KVF_OUT_LAST) ? ma->ma_last
                                                    : ma->ma_avg;
    char *base = reinterpret_cast<char *>(r) + offsetof(struct kv_record, kr_value);
    const unsigned type = kv_value_type(kv->kv_type);
    if (type == KV_T_U64) {
        uint64_t out[3] = {kvm_round_u64(chosen), kvm_round_u64(ma->ma_min),
                           kvm_round_u64(ma->ma_max)};
        memcpy(base, out, sizeof(out));
    } else {
        // Characters keep their sign (as an int32); unsigned types stop at
        // 0 and at 2^32 - 1.
        const double lo = type == KV_T_CHAR ? double(INT32_MIN) : 0.0;
        const double hi = type == KV_T_CHAR ? double(INT32_MAX) : double(UINT32_MAX);
        uint32_t out[3] = {uint32_t(kvm_round_range(chosen, lo, hi)),
                           uint32_t(kvm_round_range(ma->ma_min, lo, hi)),
                           uint32_t(kvm_round_range(ma->ma_max, lo, hi))};
        memcpy(base, out, sizeof(out));
    }
    r->kr_valid = 1;
}

/*
 * Events.
 */

// A double as an int for a log line, without undefined conversions.
static inline int kvm_log_int(double v) {
    if (!(v > double(INT32_MIN))) return INT32_MIN;
    if (v > double(INT32_MAX)) return INT32_MAX;
    return int(v);
}

// The three-sigma test of sample x against a full window's state.
static void kvm_event_test(const struct kvm *kvm, const struct kv_var *kv,
                           const struct kvm_ma *ma, double x, const char *func) {
    if (!(kv->kv_flags & KVF_EVENTS) || ma->ma_count < ma->ma_n) return;
    double bound = 0;
    bool event = false;
    if (kv->kv_flags & KVF_HIGH) {
        bound = ma->ma_avg + KVM_BAND * ma->ma_sdev;
        event = x > bound;
    }
    if (!event && (kv->kv_flags & KVF_LOW)) {
        bound = ma->ma_avg - KVM_BAND * ma->ma_sdev;
        event = bound > x;
    }
    if (!event) return;
    // Events without a callback to take them are only logged.
    if (kvm->kvm_event != nullptr) kvm->kvm_event(kvm->kvm_arg, kv->kv_event_id, x, bound);
    if (tr_mask & TR_METRIC)
        tr_log(TR_METRIC, TR_DEBUG, "%s: event %d val %d avg %d sdev %d", func, kv->kv_event_id,
               kvm_log_int(x), kvm_log_int(ma->ma_avg), kvm_log_int(ma->ma_sdev));
}

/*
 * Objects.
 */

static inline bool kvm_timer_on(const struct kvm *kvm) {
    return ftimer_scheduled(&kvm->kvm_timer);
}

static inline void kvm_timer_start(struct kvm *kvm) {
    ftimer_sched(kvm_wheel, &kvm->kvm_timer, int(kvm->kvm_sample->ks_interval));
    n_counter_inc(kvm_stats.ks_sched);
}

// Sampled: a timer entry on the wheel and a schedule to run it by.
static inline bool kvm_sampled(const struct kvm *kvm) {
    return (kvm->kvm_flags & KVM_SAMPLED) && kvm->kvm_sample != nullptr;
}

// Releases the states from index n - 1 down to 0, and both arrays.
static void kvm_ma_release(struct kvm *kvm, unsigned n) {
    if (kvm->kvm_ma != nullptr) {
        while (n-- > 0)
            kvm->kvm_ops->mo_fini(&kvm->kvm_ma[n]);
        nmem_free(kvm->kvm_ma);
        kvm->kvm_ma = nullptr;
    }
    if (kvm->kvm_records != nullptr) {
        nmem_free(kvm->kvm_records);
        kvm->kvm_records = nullptr;
    }
}

[[noreturn]] static void kvm_bad_sample_type(int type) {
    tr_log(1, TR_ERROR, "[panic]: kvm_create: invalid sampling type %d", type);
    n_assert_fail("0", __FILE__, __LINE__, "kvm_create");
}

struct kvm *kvm_create(struct kv_head *kh, uint8_t kvm_type, uint8_t flags, int sample_type,
                       int export_mask) {
    N_ASSERT(kh != ((void *)0), "kvh != ((void *)0)");
    N_ASSERT(kvm_type < 3);
    auto *kvm = static_cast<struct kvm *>(nmem_pool_alloc(kvm_pool));
    if (kvm == nullptr) {
        n_counter_inc(kvm_stats.ks_allocerr);
        return nullptr;
    }
    n_counter_inc(kvm_stats.ks_alloced);
    n_counter_dec(kvm_stats.ks_pool);
    kvm->kvm_head = kh;
    kvm->kvm_ops = &kvm_ma_ops_table[kvm_type];
    kvm->kvm_exports.init();
    kvm->kvm_timer.ft_arg = reinterpret_cast<uintptr_t>(kvm);
    // Averaging needs an average type and sampling a schedule: KVM_MA and
    // KVM_SAMPLED follow what is there, not what the caller asked for.
    kvm->kvm_flags = flags & uint8_t(~(KVM_MA | KVM_SAMPLED));
    if (kvm_type != KVM_T_NONE) kvm->kvm_flags |= KVM_MA;
    if (export_mask & 0x15) kvm->kvm_flags |= KVM_EXPORT;
    const unsigned nvars = kh->kh_nvars;
    // A negative type must not wrap into a valid one.
    if (sample_type < 0 || sample_type > 10) kvm_bad_sample_type(sample_type);
    struct kv_sample *ksa = sample_type != 0 ? kv_get_sample(uint8_t(sample_type)) : nullptr;
    // The window size as far as it is known here; checked below, before
    // any window is used.
    const unsigned nwin = ksa != nullptr ? ksa->ks_samples : 0;
    const uint32_t states = uint32_t(nvars * sizeof(struct kvm_ma));

    if (kvm->kvm_flags & KVM_MA) {
        // The states, then their compact windows, in one block.
        kvm->kvm_ma = static_cast<struct kvm_ma *>(
            nmem_alloc(states + uint32_t(nvars * nwin * sizeof(uint32_t)), NMEM_ZERO));
        if (kvm->kvm_ma == nullptr) {
            tr_log(1, TR_ERROR, "kvm_create: kvm_vars alloc failed");
            goto fail;
        }
        // Records are written for the exports only; without them each
        // stays as kv_record_init leaves it, which kvm_read_index makes.
        if (kvm->kvm_flags & KVM_EXPORT) {
            kvm->kvm_records = static_cast<struct kv_record *>(
                nmem_alloc(uint32_t(nvars * sizeof(struct kv_record)), NMEM_ZERO));
            if (kvm->kvm_records == nullptr) {
                tr_log(1, TR_ERROR, "kvm_create: kvm_data alloc failed");
                goto fail;
            }
        }
    }
    if (sample_type != 0) {
        kvm->kvm_flags |= KVM_SAMPLED;
        kvm->kvm_sample = ksa;
        kvm_timer_start(kvm);
    }
    if (export_mask & 0x15) {
        for (uint8_t i = 0; i < KV_EXPORT_TYPES; i++) {
            if (!(export_mask & (1 << i))) continue;
            if (struct kv_export *e = kv_get_export(i)) kvm->kvm_exports.insert_head(e);
        }
    }
    if (kvm->kvm_flags & KVM_MA) {
        N_ASSERT(ksa != ((void *)0), "kvm->kvm_sample != ((void *)0)");
        N_ASSERT(ksa->ks_samples != 0, "ksa->ks_samples != 0");
        const int numsamples = ksa->ks_samples;
        N_ASSERT(numsamples <= 60);
        if (nvars == 0) goto fail;
        // Window entry j of variable i at row j, column i.
        char *rows = reinterpret_cast<char *>(kvm->kvm_ma) + states;
        for (unsigned i = 0; i < nvars; i++) {
            struct kvm_ma *ma = &kvm->kvm_ma[i];
            ma->ma_window = reinterpret_cast<double *>(rows + i * sizeof(uint32_t));
            ma->ma_narrow_step = uint32_t(nvars * sizeof(uint32_t));
            kvm_ma_setup(ma, numsamples, kvm_type);
            if (kvm->kvm_records != nullptr) kv_record_init(kh, int(i), &kvm->kvm_records[i]);
        }
    }
    kvm_register(kvm);
    return kvm;

fail:
    kv_export_release(&kvm->kvm_exports, kvm->kvm_export_state);
    if (sample_type != 0 && kvm_timer_on(kvm)) {
        ftimer_unsched(kvm_wheel, &kvm->kvm_timer);
        n_counter_dec(kvm_stats.ks_sched);
    }
    kvm_ma_release(kvm, 0);
    nmem_pool_free(kvm_pool, kvm);
    n_counter_inc(kvm_stats.ks_pool);
    n_counter_dec(kvm_stats.ks_alloced);
    return nullptr;
}

void kvm_register(struct kvm *kvm) {
    N_ASSERT(kvm->kvm_head, "kvm->kvm_head");
    if (!kvm_list.linked(kvm)) kvm_list.insert_head(kvm);
}

void kvm_unregister(struct kvm *kvm) {
    if (kvm_list.linked(kvm)) kvm_list.remove(kvm);
    if (kvm_sampled(kvm) && kvm_timer_on(kvm)) kvm_unsched(kvm);
    if (kvm->kvm_flags & KVM_MA) kvm_ma_release(kvm, kvm->kvm_head->kh_nvars);
    if (kvm->kvm_flags & KVM_EXPORT) kv_export_release(&kvm->kvm_exports, kvm->kvm_export_state);
    // Unsampled, a parent can no longer be re-armed by a child.
    kvm->kvm_flags &= uint8_t(~(KVM_SAMPLED | KVM_MA | KVM_EXPORT | KVM_PENDING));
}

void kvm_destroy(struct kvm *kvm) {
    // A second destroy would read the free-list link as the object.
    N_ASSERT(nmem_hdr_of(kvm)->nh_guard == NMEM_LIVE, "kvm is live");
    kvm_unregister(kvm);
    n_counter_inc(kvm_stats.ks_freed);
    nmem_pool_free(kvm_pool, kvm);
}

void kvm_unsched(struct kvm *kvm) {
    ftimer_unsched(kvm_wheel, &kvm->kvm_timer);
    n_counter_dec(kvm_stats.ks_sched);
}

void kvm_cancel(struct kvm *kvm) {
    if (kvm_sampled(kvm) && kvm_timer_on(kvm)) kvm_unsched(kvm);
}

void kvm_sched(struct kvm *p) {
    if (!kvm_sampled(p)) return;
    p->kvm_flags |= KVM_PENDING;
    if (kvm_timer_on(p))
        n_counter_inc(kvm_stats.ks_sched_active);
    else
        kvm_timer_start(p);
}

static inline void kvm_sample_callback(struct kvm *kvm) {
    if (kvm->kvm_sample != nullptr && kvm->kvm_sample->ks_callback != nullptr)
        kvm->kvm_sample->ks_callback(kvm, kvm->kvm_arg);
}

void kvm_flush(struct kvm *kvm, int cancel) {
    if (cancel) kvm_cancel(kvm);
    kvm_sample_callback(kvm);
    if (kvm->kvm_flags & KVM_PARENT) kvm_rollup(kvm);
}

static inline void kvm_roll_var(struct kvm *p, const struct kvm *kvm, const struct kv_var *kv) {
    if (p->kvm_cur == nullptr || kvm->kvm_cur == nullptr) return;
    kv_update(kv, kv_field(p->kvm_cur, kv),
              kv_field(static_cast<const void *>(kvm->kvm_cur), kv));
}

void kvm_rollup(struct kvm *kvm) {
    N_ASSERT(kvm->kvm_pkvms > 0, "pkvms > 0");
    const unsigned n = kvm->kvm_pkvms < KVM_MAX_PARENTS ? kvm->kvm_pkvms : KVM_MAX_PARENTS;
    const struct kv_head *kh = kvm->kvm_head;
    for (unsigned i = 0; i < n; i++) {
        struct kvm *p = kvm->kvm_parents[i];
        if (p == nullptr) continue;
        for (unsigned v = 0; v < kh->kh_nvars; v++)
            kvm_roll_var(p, kvm, &kh->kh_vars[v]);
        kvm_sched(p);
    }
}

void kvm_rollup_entry(struct kvm *kvm, const struct kv_var *kv, unsigned i, uint64_t value) {
    struct kvm *p = kvm->kvm_parents[0];
    N_ASSERT(p != ((void *)0));
    if (i >= kvm->kvm_head->kh_nvars || i >= p->kvm_head->kh_nvars) return;
    kvm_roll_var(p, kvm, kv);
    const double x = static_cast<double>(value);
    if (p->kvm_flags & KVM_MA) kvm_event_test(kvm, kv, &p->kvm_ma[i], x, "kvm_rollup_entry");
    if (kvm->kvm_flags & KVM_MA) kvm->kvm_ops->mo_update(&kvm->kvm_ma[i], x);
    if (p->kvm_flags & KVM_MA) p->kvm_ops->mo_update(&p->kvm_ma[i], x);
}

int kvm_nvars(const struct kvm *kvm) {
    const struct kv_head *kh = kvm->kvm_head;
    if (!(kh->kh_flags & KVH_COUNTS)) return kh->kh_nvars;
    const int idx = agent_cfg != nullptr ? agent_cfg->ac_var_count_idx : -1;
    if (idx < 0 || idx > 3) return kh->kh_nvars;
    return kh->kh_counts[idx];
}

int kvm_read_index(struct kvm *kvm, int i, struct kv_record *r) {
    memset(r, 0, sizeof(*r));
    if (i < 0 || i >= int(kvm->kvm_head->kh_nvars)) return -1;
    if (kvm->kvm_flags & KVM_MA) {
        if (kvm->kvm_records != nullptr)
            *r = kvm->kvm_records[i];
        else
            kv_record_init(kvm->kvm_head, i, r);
    } else if (kvm->kvm_cur != nullptr)
        kv_read_index(kvm->kvm_head, i, kvm->kvm_cur, r);
    return 0;
}

[[noreturn]] static void kvm_bad_type(unsigned type) {
    tr_log(1, TR_ERROR, "[panic]: Unsupported type %d of kv", int(type));
    n_assert_fail("0", __FILE__, __LINE__, "kvm_update_ma");
}

// The variable's value in cur as a double.
static inline double kvm_value(const void *cur, const struct kv_var *kv) {
    const char *p = kv_field(cur, kv);
    switch (kv_value_type(kv->kv_type)) {
        case KV_T_CHAR:
            return kv_load<int8_t>(p);
        case KV_T_U16:
            return kv_load<uint16_t>(p);
        case KV_T_U32:
            return kv_load<uint32_t>(p);
        case KV_T_U64:
            return static_cast<double>(kv_load<uint64_t>(p));
        default:
            kvm_bad_type(kv_value_type(kv->kv_type));
    }
}

// Template of kvm_sample_vars for one average: Type is KVM_T_SMA or
// KVM_T_EMA, 0 for whatever the object's ops say.
template <int Type>
static void kvm_sample_vars_of(struct kvm *kvm) {
    const struct kv_head *kh = kvm->kvm_head;
    struct kv_record *records = (kvm->kvm_flags & KVM_EXPORT) ? kvm->kvm_records : nullptr;
    void (*update)(struct kvm_ma *, double) = kvm->kvm_ops->mo_update;
    for (unsigned i = 0; i < kh->kh_nvars; i++) {
        const struct kv_var *kv = &kh->kh_vars[i];
        const double x = kvm_value(kvm->kvm_cur, kv);
        if (x == 0 && (kv->kv_flags & (KVF_NONZERO | KVF_AVG))) continue;
        struct kvm_ma *ma = &kvm->kvm_ma[i];
        kvm_event_test(kvm, kv, ma, x, "kvm_update_ma");
        if (Type == KVM_T_NONE)
            update(ma, x);
        else
            kvm_ma_update<Type == KVM_T_EMA>(ma, x);
        if (records != nullptr) kvm_write_record(&records[i], kv, ma);
    }
}

static void kvm_sample_vars(struct kvm *kvm) {
    // The module's own averages inline; any other through the ops.
    void (*update)(struct kvm_ma *, double) = kvm->kvm_ops->mo_update;
    if (update == sma_update)
        kvm_sample_vars_of<KVM_T_SMA>(kvm);
    else if (update == ema_update)
        kvm_sample_vars_of<KVM_T_EMA>(kvm);
    else
        kvm_sample_vars_of<KVM_T_NONE>(kvm);
}

void kvm_update_ma(uint64_t arg, uint32_t lateness) {
    auto *kvm = reinterpret_cast<struct kvm *>(static_cast<uintptr_t>(arg));
    n_counter_set(kvm_stats.ks_last_delta, lateness);
    n_counter_set(kvm_stats.ks_delta, uint32_t(n_counter_get(kvm_stats.ks_delta) + lateness) / 2);
    n_counter_inc(kvm_stats.ks_sampled);
    if (!kvm_sampled(kvm) || !(kvm->kvm_flags & (KVM_PENDING | KVM_PERIODIC))) return;
    if (kvm->kvm_flags & KVM_PERIODIC)
        kvm_timer_start(kvm);
    else
        kvm->kvm_flags &= uint8_t(~KVM_PENDING);
    const struct kv_head *kh = kvm->kvm_head;
    const bool skip = agent_cfg != nullptr && agent_cfg->ac_essential_only != 0 &&
                      !(kh->kh_flags & KVH_ESSENTIAL);
    if (!skip) {
        kvm_sample_callback(kvm);
        if ((kvm->kvm_flags & KVM_MA) && kvm->kvm_cur != nullptr) kvm_sample_vars(kvm);
        if (kvm->kvm_flags & KVM_EXPORT)
            for (struct kv_export *e : kvm->kvm_exports)
                e->ke_fn(kvm->kvm_export_state, kvm, 1);
        if (kvm->kvm_flags & KVM_PARENT) kvm_rollup(kvm);
    }
    if (kvm->kvm_cur != nullptr && !(kvm->kvm_flags & KVM_KEEP))
        memset(kvm->kvm_cur, 0, kh->kh_size);
}

/*
 * Module.
 */

static void kvm_poll(void *) {
    timeout(kvm_poll, nullptr, KVM_WHEEL_TICK);
    ftimer_run(kvm_wheel);
}

// clang-format off
#define KVM_STAT(name, type, field) \
    {name, type, 0, sizeof(kvm_stats.field), 0, 0, offsetof(struct kvm_stats, field)}
static struct kv_var kvm_kv_vars[] = {
    KVM_STAT("pool_sz", 0x1123, ks_pool_sz),
    KVM_STAT("pool", 0x1123, ks_pool),
    KVM_STAT("alloced", 0x1123, ks_alloced),
    KVM_STAT("freed", 0x1123, ks_freed),
    KVM_STAT("delta", 0x1123, ks_delta),
    KVM_STAT("last_delta", 0x1123, ks_last_delta),
    KVM_STAT("sma", 0x1123, ks_sma),
    KVM_STAT("ema", 0x1123, ks_ema),
    KVM_STAT("allocerr", 0x1123, ks_allocerr),
    KVM_STAT("sched", 0x1124, ks_sched),
    KVM_STAT("sched_active", 0x1124, ks_sched_active),
    KVM_STAT("sampled", 0x1124, ks_sampled),
};
#undef KVM_STAT
// clang-format on

static struct kv_head kvm_kv_head = {
    "kv_metrics_stats",
    2,
    0,
    sizeof(kvm_kv_vars) / sizeof(kvm_kv_vars[0]),
    {0, 0, 0, 0},
    sizeof(struct kvm_stats),
    nullptr,
    kvm_kv_vars,
    nullptr,
    nullptr,
    {nullptr, nullptr},
};

void kv_metrics_mod_init(void *) {
    kvm_pool = nmem_pool_create("kvm", KVM_POOL_SIZE, sizeof(struct kvm), NMEM_ZERO);
    if (kvm_pool == nullptr) {
        tr_log(1, TR_ERROR, "kv_metrics_mod_init: failed to create kvm pool");
        N_ASSERT(kvm_pool != ((void *)0));
    }
    n_counter_add(kvm_stats.ks_pool, uint32_t(KVM_POOL_SIZE));
    n_counter_add(kvm_stats.ks_pool_sz, uint32_t(KVM_POOL_SIZE));
    netctl_register_vars("core.kv_metrics.stats", &kvm_kv_head, &kvm_stats, 0, nullptr);
    kvm_wheel = ftimer_create(kvm_update_ma, KVM_WHEEL_BUCKETS, KVM_WHEEL_TICK);
    timeout(kvm_poll, nullptr, KVM_WHEEL_TICK);
}
SYSINIT(kv_metrics_mod, "kv_metrics_mod", SI_SUB_KV, SI_ORDER_ANY, kv_metrics_mod_init, nullptr);
