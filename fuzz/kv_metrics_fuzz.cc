// Fuzz target: random operation sequences on metric objects (kvm), rollup
// objects (kvs) and a timer wheel of the fuzzer's own, on a driven clock.
//
// Objects are created, destroyed, unregistered, linked to parents, fed
// values, flushed, scheduled and cancelled in any order a careful owner
// could use them in (an owner clears the links to an object it destroys,
// and keeps the layouts of parent and child alike).  After every step:
//  - each average's window minimum and maximum equal the window's own, and
//    the duplicate counts never claim more copies than the window holds;
//  - events are raised only against a full window;
//  - the metric module's counters agree with the objects alive;
//  - the wheel fires nothing early, loses nothing whose time has passed,
//    and reports the lateness it should; callbacks unschedule and
//    reschedule other entries while the wheel runs.
// At the end of an input everything is torn down, and the heap holds what
// it held before.
#include <cmath>
#include <cstring>
#include <map>

#include "core/ftimer.h"
#include "core/kern_timeout.h"
#include "core/kv.h"
#include "core/kv_metrics.h"
#include "core/kv_stats.h"
#include "core/logging.h"
#include "core/nmem.h"
#include "core/timestamp.h"
#include "fuzz_support.h"

namespace fz_kvm {

constexpr int SLOTS = 8;
constexpr int ENTRIES = 16;

struct block {
    uint64_t big;
    uint32_t n;
    uint16_t w;
    int8_t c;
    uint8_t pad;
    char *s;  // kvs heads only
};

// Metric variables: every flag combination the byte picks.
struct kv_var kvm_vars[4] = {
    {"big", KV_T_U64, 0, 8, 0, 0, offsetof(block, big)},
    {"n", KV_T_U32, 0, 4, 1, 0, offsetof(block, n)},
    {"w", KV_T_U16, 0, 2, 2, 0, offsetof(block, w)},
    {"c", KV_T_CHAR, 0, 1, 3, 0, offsetof(block, c)},
};
struct kv_head kvm_head = {"fzkvm", 0, 0, 4, {2, 4, 1, 3}, sizeof(block), nullptr, kvm_vars,
                           nullptr, nullptr, {}};
struct kv_var kvs_vars[5] = {
    {"big", KV_T_U64, 0, 8, 0, 0, offsetof(block, big)},
    {"n", KV_T_U32, 0, 4, 0, 0, offsetof(block, n)},
    {"w", KV_T_U16, 0, 2, 0, 0, offsetof(block, w)},
    {"c", KV_T_CHAR, 0, 1, 0, 0, offsetof(block, c)},
    {"s", KV_T_STRING, 0, 8, 0, 0, offsetof(block, s)},
};
struct kv_head kvs_head = {"fzkvs", 0, 0, 5, {}, sizeof(block), nullptr, kvs_vars, nullptr,
                           nullptr, {}};

// Sampling schedules of this target: short windows and intervals, so that
// windows fill and parents run within one input.
struct kv_sample fast = {7, 3, {}, 62500, nullptr};
struct kv_sample slow = {8, 60, {}, 250000, nullptr};

struct kvm_slot {
    struct kvm *k;
    block cur;
};
struct kvs_slot {
    struct kvs *s;
    block data, total;
};
// An export function that keeps a heap object in the state block, as an
// owner's export may: unregistering must release it.
void keep_heap(void *state, void *, int source) {
    FZ_CHECK(source == 0 || source == 1);
    void *p;
    memcpy(&p, static_cast<char *>(state) + KV_EXPORT_STATE_HEAP, sizeof(p));
    if (p != nullptr) return;
    p = nmem_alloc(8, 0);
    memcpy(static_cast<char *>(state) + KV_EXPORT_STATE_HEAP, &p, sizeof(p));
}
struct kv_export keeper = {4, keep_heap, {}};

kvm_slot kvms[SLOTS];
kvs_slot kvss[SLOTS];
bool in_rollup_entry;
uint64_t events;

void on_event(void *arg, int id, double, double) {
    auto *slot = static_cast<kvm_slot *>(arg);
    FZ_CHECK(slot >= kvms && slot < kvms + SLOTS && id >= 0 && id < 4);
    events++;
    // kvm_rollup_entry tests the parent's state, not this one.
    if (!in_rollup_entry) {
        const struct kvm_ma *ma = &slot->k->kvm_ma[id];
        FZ_CHECK(ma->ma_count >= ma->ma_n);
    }
}

// The fuzzer's own wheel, against a map of due times.
struct ftimer_wheel *wheel;
struct ftimer_entry ents[ENTRIES];
std::map<uint64_t, uint64_t> due;
fz::Reader *cb_in;

void ent_sched(uint64_t i, uint32_t d) {
    d %= uint32_t(wheel->fth_maxticks);
    ftimer_sched(wheel, &ents[i], int(d));
    due[i] = ticks + d;
}

void ent_fire(uint64_t arg, uint32_t late) {
    auto it = due.find(arg);
    FZ_CHECK(it != due.end());
    FZ_CHECK(it->second <= ticks);
    FZ_CHECK(late == std::min<uint64_t>(ticks - it->second, 0x7fffffff));
    due.erase(it);
    uint8_t b = cb_in->u8();
    uint64_t j = b % ENTRIES;
    if (b & 0x10) {
        ftimer_unsched(wheel, &ents[j]);
        due.erase(j);
    } else if ((b & 0x20) && !ftimer_scheduled(&ents[j])) {
        ent_sched(j, uint32_t(cb_in->u16()) * 97);
    }
}

void check_wheel() {
    for (auto [i, t] : due) {
        FZ_CHECK(ftimer_scheduled(&ents[i]));
        FZ_CHECK(t / wheel->fth_tick >= ticks / wheel->fth_tick);
    }
}

// Entry i of a window of doubles or of a compact one.
double window_at(const struct kvm_ma *ma, int i) {
    if (ma->ma_narrow_step == 0) return ma->ma_window[i];
    uint32_t v;
    memcpy(&v, reinterpret_cast<const char *>(ma->ma_window) + i * ma->ma_narrow_step, sizeof(v));
    return v;
}

// Window extremes recomputed from the ring itself.
void check_ma(const struct kvm_ma *ma) {
    if (ma->ma_count == 0) return;
    double lo = INFINITY, hi = -INFINITY;
    int nlo = 0, nhi = 0;
    for (int i = 0; i < ma->ma_count; i++) {
        const double v = window_at(ma, i);
        if (v < lo) lo = v, nlo = 0;
        if (v == lo) nlo++;
        if (v > hi) hi = v, nhi = 0;
        if (v == hi) nhi++;
    }
    FZ_CHECK(ma->ma_min == lo && ma->ma_max == hi);
    FZ_CHECK(ma->ma_min_dups < nlo && ma->ma_max_dups < nhi);
    FZ_CHECK(ma->ma_sdev >= 0);
}

uint32_t live_kvms() {
    uint32_t n = 0;
    for (auto &s : kvms)
        n += s.k != nullptr;
    return n;
}

void check_all(uint32_t alloced0, uint32_t freed0) {
    for (auto &s : kvms) {
        if (s.k == nullptr || !(s.k->kvm_flags & KVM_MA)) continue;
        for (int i = 0; i < 4; i++)
            check_ma(&s.k->kvm_ma[i]);
    }
    FZ_CHECK(kvm_stats.ks_alloced - alloced0 - (kvm_stats.ks_freed - freed0) == live_kvms());
    check_wheel();
}

void drop_kvm(int i, bool destroy) {
    struct kvm *k = kvms[i].k;
    if (!destroy) {
        kvm_unregister(k);
        return;
    }
    for (auto &s : kvms)
        if (s.k != nullptr)
            for (auto &p : s.k->kvm_parents)
                if (p == k) p = nullptr;
    kvm_destroy(k);
    kvms[i].k = nullptr;
}

void drop_kvs(int i) {
    for (auto &s : kvss)
        if (s.s != nullptr && s.s->kvs_pkvs == kvss[i].s) {
            s.s->kvs_pkvs = nullptr;
            s.s->kvs_flags &= uint8_t(~KVS_PARENT);
        }
    kvs_destroy(kvss[i].s);
    kvss[i].s = nullptr;
}

void setup() {
    static bool once = [] {
        tr_set_echo(0);
        if (ticks < 1000000) ticks = 1000000;
        if (callout_mod.cm_wheel == nullptr) softclock_init(nullptr);
        kv_mod_init(nullptr);
        kv_sample_register(&fast);
        kv_sample_register(&slow);
        kv_export_register(&keeper);
        kv_stats_mod_init(nullptr);
        kv_metrics_mod_init(nullptr);
        wheel = ftimer_create(ent_fire, 32, 1000);
        for (uint64_t i = 0; i < ENTRIES; i++)
            ents[i].ft_arg = i;
        return true;
    }();
    (void)once;
}

void step(fz::Reader &in) {
    const uint8_t op = in.u8();
    const int i = in.u8() % SLOTS, j = in.u8() % SLOTS;
    switch (op % 12) {
        case 0: {  // create a metric object
            if (kvms[i].k != nullptr) break;
            const uint8_t b = in.u8();
            const uint8_t type = b % 3;
            const int sample = type != 0 || (b & 0x08) ? ((b & 0x04) ? 8 : 7) : 0;
            const uint8_t flags = in.u8() & (KVM_PERIODIC | KVM_KEEP | KVM_EXPORT | KVM_MA | KVM_SAMPLED);
            for (auto &v : kvm_vars)
                v.kv_flags = in.u8() & 0x7f;
            struct kvm *k = kvm_create(&kvm_head, type, flags, sample, in.u8() & 0x1f);
            if (k == nullptr) break;
            kvms[i].k = k;
            kvms[i].cur = {};
            k->kvm_cur = &kvms[i].cur;
            k->kvm_arg = &kvms[i];
            k->kvm_event = (b & 0x40) ? nullptr : on_event;
            break;
        }
        case 1:
            if (kvms[i].k != nullptr) drop_kvm(i, in.u8() & 1);
            break;
        case 2: {  // link a parent
            if (kvms[i].k == nullptr || kvms[j].k == nullptr) break;
            const uint8_t b = in.u8();
            kvms[i].k->kvm_parents[b % KVM_MAX_PARENTS] = kvms[j].k;
            kvms[i].k->kvm_pkvms = uint8_t(1 + (b >> 2) % 5);
            kvms[i].k->kvm_flags |= KVM_PARENT;
            break;
        }
        case 3: {  // values into the live blocks
            block v = {uint64_t(in.u16()) << (in.u8() % 49), in.u8() * 1000u, in.u16(),
                       int8_t(in.u8()), 0, nullptr};
            if (kvms[i].k != nullptr) kvms[i].cur = v;
            if (kvss[i].s != nullptr) {
                v.s = kvss[i].data.s;
                kvss[i].data = v;
            }
            break;
        }
        case 4: {  // time passes
            const uint64_t d = uint64_t(in.u16()) * 16;
            for (uint64_t end = ticks + d; ticks < end; softclock())
                ticks += 62500 < end - ticks ? 62500 : end - ticks;
            ftimer_run(wheel);
            break;
        }
        case 5:
            if (kvms[i].k == nullptr) break;
            switch (in.u8() % 4) {
                case 0:
                    kvm_flush(kvms[i].k, 0);
                    break;
                case 1:
                    kvm_flush(kvms[i].k, 1);
                    break;
                case 2:
                    kvm_sched(kvms[i].k);
                    break;
                default:
                    kvm_cancel(kvms[i].k);
            }
            break;
        case 6: {
            struct kvm *k = kvms[i].k;
            if (k == nullptr || k->kvm_parents[0] == nullptr) break;
            const unsigned v = in.u8() % 6;  // beyond the head too
            in_rollup_entry = true;
            kvm_rollup_entry(k, &kvm_vars[v % 4], v, in.u16());
            in_rollup_entry = false;
            break;
        }
        case 7: {  // reads, any index
            struct kv_record r = {};
            const int idx = int(in.u8() % 8) - 1;
            if (kvms[i].k != nullptr) {
                const int rc = kvm_read_index(kvms[i].k, idx, &r);
                FZ_CHECK(rc == (idx >= 0 && idx < 4 ? 0 : -1));
                FZ_CHECK(kvm_nvars(kvms[i].k) >= 0);
            }
            if (kvss[i].s != nullptr) {
                r = {};
                const int rc = kvs_read_index(kvss[i].s, idx, &r, in.u8() & 1);
                FZ_CHECK(rc == (idx >= 0 && idx < 5 ? 0 : -1));
                if (rc == 0 && kv_value_type(kvs_vars[idx].kv_type) == KV_T_STRING)
                    kv_record_release(&r, 1);
            }
            break;
        }
        case 8: {  // rollup objects
            if (kvss[i].s != nullptr) {
                drop_kvs(i);
                break;
            }
            const uint8_t b = in.u8();
            struct kvs *s = kvs_create(&kvs_head, b & KVS_RESET, (b & 2) ? ((b & 4) ? 8 : 7) : 0,
                                       in.u8() & 0x1f);
            if (s == nullptr) break;
            kvss[i].s = s;
            kvss[i].data = {};
            kvss[i].total = {};
            s->kvs_data = (b & 0x10) ? nullptr : &kvss[i].data;
            s->kvs_total = (b & 0x20) ? &kvss[i].total : nullptr;
            break;
        }
        case 9:
            if (kvss[i].s != nullptr && kvss[j].s != nullptr && i != j) {
                kvss[i].s->kvs_pkvs = kvss[j].s;
                kvss[i].s->kvs_flags |= KVS_PARENT;
            } else if (kvss[i].s != nullptr) {
                if (kvss[i].s->kvs_flags & KVS_PARENT)
                    kvs_flush(kvss[i].s, in.u8() & 1);
                else
                    kvs_unregister(kvss[i].s);
            }
            break;
        case 10: {  // the own wheel
            const uint64_t e = in.u8() % ENTRIES;
            if (ftimer_scheduled(&ents[e])) {
                ftimer_unsched(wheel, &ents[e]);
                due.erase(e);
            } else {
                ent_sched(e, uint32_t(in.u16()) * uint32_t(1 + in.u8()));
            }
            break;
        }
        default: {
            // Time jumps for the own wheel alone (the callout wheel catches
            // up at the next step that runs it); rarely one of 36 minutes,
            // whose lateness the callback gets clamped.
            const uint16_t d = in.u16();
            ticks += d == 0xffff ? 2200000000ull : uint64_t(d) * (in.u8() & 0x80 ? 256 : 1);
            ftimer_run(wheel);
            break;
        }
    }
}

int one_input(const uint8_t *data, size_t size) {
    setup();
    fz::Reader in(data, size);
    cb_in = &in;
    const uint64_t objs = nmem_stats.ns_alloced_objs;
    const uint32_t alloced0 = kvm_stats.ks_alloced, freed0 = kvm_stats.ks_freed;
    for (int n = 0; n < 400 && !in.empty(); n++) {
        step(in);
        check_all(alloced0, freed0);
    }
    for (int i = 0; i < SLOTS; i++) {
        if (kvms[i].k != nullptr) drop_kvm(i, true);
        if (kvss[i].s != nullptr) drop_kvs(i);
    }
    for (auto &e : ents)
        ftimer_unsched(wheel, &e);
    due.clear();
    FZ_CHECK(nmem_stats.ns_alloced_objs == objs);
    FZ_CHECK(kvm_stats.ks_alloced - alloced0 == kvm_stats.ks_freed - freed0);
    return 0;
}

}  // namespace fz_kvm

int fz_run_kv_metrics(const uint8_t *data, size_t size) {
    return fz_kvm::one_input(data, size);
}
FZ_DRIVER(fz_run_kv_metrics)
