// kv_metrics: sampled moving-average metrics with outlier events.
//
// A kvm watches one data block (cur) that a kv head describes.  On its
// sample schedule it reads every variable, feeds the value into a simple or
// exponential moving average over a window of at most 60 samples, keeps the
// window's minimum and maximum, raises an event when a sample leaves the
// band of three standard deviations around the average, writes value,
// minimum and maximum into kv value records for the export functions, rolls
// the block up into up to three parents and clears it for the next
// interval.  A parent runs one interval after a child rolled into it.
//
// Every sample costs constant time per variable: running sums replace
// summing the window, and duplicate counts let an extreme leave the window
// without a rescan unless its last known copy leaves.
//
// All timer work runs on the main poll thread from one hashed timer wheel
// (2048 buckets of 62500 µs) advanced by a self-renewing callout; the module
// takes no lock.  The statistics block is read by the control-socket thread
// through relaxed atomic counters.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/ftimer.h"
#include "core/kv.h"

inline constexpr uint8_t KVM_SAMPLED = 0x01;   // has a timer entry on the kvm wheel
inline constexpr uint8_t KVM_EXPORT = 0x02;    // records written, export functions called
inline constexpr uint8_t KVM_MA = 0x04;        // has moving-average states and records
inline constexpr uint8_t KVM_PARENT = 0x08;    // rolls up into its parents after each update
inline constexpr uint8_t KVM_PENDING = 0x20;   // a child rolled up: update at the next expiry
inline constexpr uint8_t KVM_PERIODIC = 0x40;  // update at every interval
inline constexpr uint8_t KVM_KEEP = 0x80;      // do not clear cur after an update

// kvm_type
inline constexpr uint8_t KVM_T_NONE = 0;
inline constexpr uint8_t KVM_T_SMA = 1;
inline constexpr uint8_t KVM_T_EMA = 2;

inline constexpr int KVM_POOL_SIZE = 74752;
inline constexpr int KVM_WHEEL_BUCKETS = 2048;
inline constexpr int KVM_WHEEL_TICK = 62500;
inline constexpr int KVM_MAX_SAMPLES = 60;
inline constexpr int KVM_MAX_PARENTS = 3;

// Moving-average state of one variable.
//
// The window is a ring of ma_n samples at ma_window.  sma_init and ema_init
// make it ma_n doubles on the heap.  The states of a kvm object start with
// compact windows instead, inside the object's one block, for as long as
// every sample is a whole number below 2^32 (the usual per-interval count):
// 32-bit entries ma_narrow_step bytes apart (the windows of an object's
// variables are interleaved, so that one sample of all of them writes one
// row).  The first sample that does not fit moves the window to doubles on
// the heap.  Either way every figure comes out the same.
struct kvm_ma {
    double ma_last;   // the latest sample
    double ma_avg;
    double ma_sdev;   // sqrt(ma_var)
    double ma_sum;    // of the samples in the window
    double ma_sumsq;  // of their squares
    double ma_min;    // window minimum
    double ma_max;    // window maximum
    double ma_var;
    uint8_t ma_min_dups;  // other window entries known to equal ma_min
    uint8_t ma_max_dups;
    double *ma_window;  // the ring: ma_n doubles, or compact entries (below)
    double ma_ema_sq;   // EMA of the squares (EMA only)
    double ma_alpha;    // 2 / (N + 1) (EMA only)
    uint8_t ma_pos;     // slot of the next sample
    uint8_t ma_count;   // samples in the window, at most ma_n
    uint8_t ma_n;       // window size, 1..60
    // A compact window: bytes from one entry to the next; else 0.
    uint32_t ma_narrow_step;
};
static_assert(sizeof(struct kvm_ma) == 104 && offsetof(struct kvm_ma, ma_window) == 72);

struct kvm_ma_ops {
    int (*mo_init)(struct kvm_ma *ma, int n);
    void (*mo_fini)(struct kvm_ma *ma);
    void (*mo_update)(struct kvm_ma *ma, double x);
};
extern const struct kvm_ma_ops kvm_ma_ops_table[3];

// Event callback: (arg, the variable's event id, sample, bound crossed).
typedef void (*kvm_event_fn)(void *arg, int event_id, double value, double bound);

struct kvm {
    uint8_t kvm_flags;
    uint8_t kvm_pkvms;  // parents in use, 1..3 with KVM_PARENT
    struct kv_head *kvm_head;
    struct kvm_ma *kvm_ma;  // one per variable (KVM_MA), their compact windows after them
    const struct kvm_ma_ops *kvm_ops;
    struct kv_sample *kvm_sample;
    alignas(8) char kvm_export_state[KV_EXPORT_STATE_SIZE];
    struct kv_record *kvm_records;  // one per variable (KVM_MA and KVM_EXPORT)
    void *kvm_cur;                  // the live block
    struct kvm *kvm_parents[KVM_MAX_PARENTS];
    void *kvm_arg;
    kvm_event_fn kvm_event;
    kv_export_list kvm_exports;
    tailq_entry<kvm> kvm_link;
    struct ftimer_entry kvm_timer;  // ft_arg is the object
};

// Statistics block ("kv_metrics_stats", published as core.kv_metrics.stats).
struct kvm_stats {
    uint32_t ks_pool_sz;
    uint32_t ks_pool;
    uint32_t ks_alloced;
    uint32_t ks_freed;
    uint32_t ks_delta;       // running mean of the expiries' lateness, µs
    uint32_t ks_last_delta;  // lateness of the last expiry, µs
    uint32_t ks_sma;         // successful sma_init calls
    uint32_t ks_ema;
    uint32_t ks_allocerr;  // kvm_create found the pool empty
    uint32_t ks_pad;
    uint64_t ks_sched;         // timer schedulings less cancellations
    uint64_t ks_sched_active;  // kvm_sched found the timer running
    uint64_t ks_sampled;       // expiries
};
static_assert(sizeof(struct kvm_stats) == 64);
static_assert(offsetof(struct kvm_stats, ks_sched) == 40);
extern struct kvm_stats kvm_stats;

// A kvm taken from the pool and registered, or null when the pool is empty
// (counted) or memory ran out (logged, nothing kept).  KVM_MA with
// kvm_type 0 and KVM_SAMPLED without a sample type are ignored.  A null
// head, kvm_type above 2, a sample type outside 0..10, a missing sample
// for averaging and window sizes outside 1..60 stop the process.
struct kvm *kvm_create(struct kv_head *kh, uint8_t kvm_type, uint8_t flags, int sample_type,
                       int export_mask);
// Unregisters, counts and returns the object to the pool.
void kvm_destroy(struct kvm *kvm);
void kvm_register(struct kvm *kvm);
// Idempotent: takes the object off the list and the wheel and releases its
// states, records and exports, clearing KVM_SAMPLED, KVM_MA and KVM_EXPORT.
void kvm_unregister(struct kvm *kvm);
// Marks a sampled object pending and starts its timer if it is not running.
void kvm_sched(struct kvm *p);
// Cancels the timer of a sampled object if it is running.
void kvm_cancel(struct kvm *kvm);
// Cancels the timer and counts the cancellation, unconditionally.
void kvm_unsched(struct kvm *kvm);
// The sample callback and the rollup into the parents, now.
void kvm_flush(struct kvm *kvm, int cancel);
// Rolls cur into every parent and marks them pending.
void kvm_rollup(struct kvm *kvm);
// Feeds one value of variable i: rolls the child's field into parent 0's,
// tests it against the parent's band and updates both averages.
void kvm_rollup_entry(struct kvm *kvm, const struct kv_var *kv, unsigned i, uint64_t value);
int kvm_nvars(const struct kvm *kvm);
// The wheel's callback: one expiry of the object whose address is arg.
void kvm_update_ma(uint64_t arg, uint32_t lateness);
// Record i: the exported value, minimum and maximum with KVM_MA, else the
// variable as it is in cur.  -1 for an index beyond the head.
int kvm_read_index(struct kvm *kvm, int i, struct kv_record *r);

int sma_init(struct kvm_ma *ma, int n);
void sma_fini(struct kvm_ma *ma);
void sma_update(struct kvm_ma *ma, double x);
int ema_init(struct kvm_ma *ma, int n);
void ema_fini(struct kvm_ma *ma);
void ema_update(struct kvm_ma *ma, double x);

void kv_metrics_mod_init(void *arg);
