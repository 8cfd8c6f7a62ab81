#include "core/kv_metrics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "core/agent_config.h"
#include "core/kern_timeout.h"
#include "core/nmem.h"
#include "core/timestamp.h"
#include "support/test_support.h"

namespace {

/*
 * The averages alone.
 */

struct ma_state : kvm_ma {
    ma_state(int type, int n) : kvm_ma{} {
        EXPECT_EQ(kvm_ma_ops_table[type].mo_init(this, n), 0);
        ops = &kvm_ma_ops_table[type];
    }
    ~ma_state() { ops->mo_fini(this); }
    ma_state &operator<<(double x) {
        ops->mo_update(this, x);
        return *this;
    }
    const struct kvm_ma_ops *ops;
};

// Average, sum, minimum, maximum.
std::vector<double> figures(const struct kvm_ma &m) {
    return {m.ma_avg, m.ma_sum, m.ma_min, m.ma_max};
}

TEST(KvmAverage, WindowExamplesAndTheWarmUpConstants) {
    ma_state a(KVM_T_SMA, 3);
    a << 1 << 2 << 3 << 4;
    EXPECT_EQ(figures(a), (std::vector<double>{3, 9, 2, 4}));
    ma_state b(KVM_T_SMA, 3);
    b << 4 << 2 << 6 << 5 << 7;  // 2 leaves with no duplicate: rescan from 7
    EXPECT_EQ(figures(b), (std::vector<double>{6, 18, 5, 7}));
    // Negative characters: the first sample sets both extremes.
    ma_state c(KVM_T_SMA, 4);
    c << -5 << -9 << -7;
    EXPECT_EQ(figures(c), (std::vector<double>{-7, -21, -9, -5}));

    ma_state e(KVM_T_EMA, 60);
    EXPECT_EQ(e.ma_alpha, 0.03278688524590164);
    e << 10;
    EXPECT_EQ(e.ma_count, 1);
    EXPECT_EQ(figures(e), (std::vector<double>{10, 10, 10, 10}));
    EXPECT_EQ(e.ma_ema_sq, 100.0);
    EXPECT_EQ(e.ma_sdev, 0.0);
    // The mean's weight is 1 - 0.18 in double precision, not 0.82.
    const double k = std::bit_cast<double>(uint64_t{0x3FEA3D70A3D70A3E});
    ma_state f(KVM_T_EMA, 60);
    f << 1 << 3;
    EXPECT_EQ(f.ma_avg, 0.18 * 3 + k * 2.0);
    EXPECT_NE(f.ma_avg, 0.18 * 3 + 0.82 * 2.0);
    EXPECT_EQ(f.ma_ema_sq, k * 5.0 + 0.18 * 9);

    // Sixty zeros fill the window with avg 0: the next sample still warms up.
    ma_state z(KVM_T_EMA, 60);
    for (int i = 0; i < 60; i++)
        z << 0;
    z << 60;
    EXPECT_EQ(z.ma_avg, 0.18 * 60 + k * 1.0);
}

// A plain reference: the window kept as a list and everything recomputed
// from scratch at each step; the EMA recurrence run directly.
struct reference {
    int n;
    std::vector<double> w;
    double avg = 0, ema_sq = 0;
    void add(double x) {
        w.push_back(x);
        if (int(w.size()) > n) w.erase(w.begin());
        double sum = 0, sumsq = 0;
        for (double v : w) {
            sum += v;
            sumsq += v * v;
        }
        const double alpha = 2.0 / (n + 1.0), k = 1.0 - 0.18;
        if (avg != 0 && int(w.size()) == n) {
            avg = alpha * x + (1 - alpha) * avg;
            ema_sq = (1 - alpha) * ema_sq + alpha * (x * x);
        } else {
            avg = 0.18 * x + k * (sum / w.size());
            ema_sq = k * (sumsq / w.size()) + 0.18 * (x * x);
        }
    }
    double sum() const { return std::accumulate(w.begin(), w.end(), 0.0); }
    double sumsq() const { return std::inner_product(w.begin(), w.end(), w.begin(), 0.0); }
};

bool near(double a, double b, double rel) {
    return std::fabs(a - b) <= rel * std::max({1.0, std::fabs(a), std::fabs(b)});
}

TEST(KvmAverage, LongRandomStreamsAgreeWithTheReference) {
    std::mt19937_64 rng(11);
    // Value sources: many ties and zeros; signed characters; u32 extremes
    // among zeros and u16 values; a wide spread.
    auto draw = [&](int kind) -> double {
        const uint64_t r = rng();
        return kind == 0 ? double(r % 4)
               : kind == 1 ? double(int8_t(r))
               : kind == 2 ? (r % 8 == 0 ? 4294967295.0 : r % 3 == 0 ? 0.0 : double(r % 65536))
                           : double(r % 1000000);
    };
    for (int round = 0; round < 80; round++) {
        const int n = 1 + int(rng() % 60), kind = round % 4;
        for (int type : {KVM_T_SMA, KVM_T_EMA}) {
            ma_state m(type, n);
            reference ref{n, {}};
            // Running sums of squares carry rounding from the largest
            // values that passed through the window; the bound follows them.
            double peak = 0;
            for (int step = 0; step < 1500; step++) {
                double x = draw(kind);
                m << x;
                ref.add(x);
                peak = std::max(peak, ref.sumsq());
                const double slack = 1e-12 * peak;
                SCOPED_TRACE(testing::Message() << "n " << n << " kind " << kind << " step " << step);
                ASSERT_EQ(m.ma_count, ref.w.size());
                ASSERT_EQ(m.ma_min, *std::min_element(ref.w.begin(), ref.w.end()));
                ASSERT_EQ(m.ma_max, *std::max_element(ref.w.begin(), ref.w.end()));
                // The duplicate counts may lag (equal samples are not
                // counted before the window fills) but never overcount.
                ASSERT_LT(m.ma_min_dups, std::count(ref.w.begin(), ref.w.end(), m.ma_min));
                ASSERT_LT(m.ma_max_dups, std::count(ref.w.begin(), ref.w.end(), m.ma_max));
                ASSERT_TRUE(near(m.ma_sum, ref.sum(), 1e-9));
                if (type == KVM_T_SMA) {
                    const double mean = ref.sum() / ref.w.size();
                    ASSERT_TRUE(near(m.ma_avg, mean, 1e-9));
                    const double var = std::fabs(ref.sumsq() / ref.w.size() - mean * mean);
                    ASSERT_LE(std::fabs(m.ma_var - var), 1e-9 * std::max(1.0, var) + slack);
                } else {
                    ASSERT_TRUE(near(m.ma_avg, ref.avg, 1e-9));
                    ASSERT_LE(std::fabs(m.ma_ema_sq - ref.ema_sq),
                              1e-9 * std::max(1.0, ref.ema_sq) + slack);
                }
                ASSERT_EQ(m.ma_sdev, std::sqrt(m.ma_var));
            }
        }
    }
}

/*
 * Objects on the wheel.
 */

struct block {
    uint64_t big;
    uint32_t n;
    uint16_t w;
    int8_t c;
    uint8_t pad;
    char *s;
};
// clang-format off
struct kv_var vars[] = {
    {"big", KV_T_U64, 0, 8, 1, 0, offsetof(block, big)},
    {"n", KV_T_U32, KVF_AVG, 4, 2, 0, offsetof(block, n)},
    {"w", KV_T_U16, 0, 2, 3, 0, offsetof(block, w)},
    {"c", KV_T_CHAR, KVF_AVG, 1, 4, 0, offsetof(block, c)},
    {"s", KV_T_STRING, 0, 8, 5, 0, offsetof(block, s)},
};
// clang-format on
struct kv_head head = {"kvmtest", 0, 0, 4, {1, 2, 3, 0}, sizeof(block), nullptr, vars, nullptr,
                       nullptr, {}};
struct kv_head with_string = {"kvmstr", 0, 0, 5, {}, sizeof(block), nullptr, vars, nullptr,
                              nullptr, {}};
struct kv_head empty = {"kvmempty", 0, 0, 0, {}, 0, nullptr, vars, nullptr, nullptr, {}};

int samples;
void count_sample(void *, void *) {
    samples++;
}
// Schedule 3: a sample every 250 ms, windows of 4.
struct kv_sample sample3 = {3, 4, {}, 250000, count_sample};

struct event {
    int id;
    double value, bound;
};
std::vector<event> events;
void on_event(void *arg, int id, double value, double bound) {
    EXPECT_EQ(arg, &events);
    events.push_back({id, value, bound});
}

struct Kvm : ::testing::Test {
    static void SetUpTestSuite() {
        ticks = 1000000;
        softclock_init(nullptr);
        kv_mod_init(nullptr);
        kv_sample_register(&sample3);
        kv_metrics_mod_init(nullptr);
    }
    static void ticks_pass(int n) {
        for (int want = samples + n; samples < want;) {
            ticks += 62500;
            softclock();
        }
    }
    static void advance(uint64_t us) {
        for (uint64_t end = ticks + us; ticks < end; softclock())
            ticks += 62500;
    }
    // Moves time on until n more expiries have happened.
    static void expiries(uint64_t n) {
        for (uint64_t want = kvm_stats.ks_sampled + n; kvm_stats.ks_sampled < want; softclock())
            ticks += 62500;
    }
    static struct kvm *make(uint8_t type, uint8_t flags, void *cur, struct kv_head *kh = &head) {
        struct kvm *k = kvm_create(kh, type, flags, 3, 0);
        if (k == nullptr) return nullptr;
        k->kvm_cur = cur;
        k->kvm_arg = &events;
        k->kvm_event = on_event;
        return k;
    }
};

TEST_F(Kvm, SamplesBecomeRoundedSaturatedRecords) {
    block cur = {};
    const uint32_t sma = kvm_stats.ks_sma;
    struct kvm *k = make(KVM_T_SMA, KVM_PERIODIC | KVM_EXPORT, &cur);
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(kvm_stats.ks_sma, sma + 4);
    // Variable n has KVF_AVG: its zero samples are skipped.
    const uint64_t big[] = {~uint64_t{0}, ~uint64_t{0} - 5, ~uint64_t{0}, ~uint64_t{0}};
    const uint16_t w[] = {2, 3, 0, 0};
    const int8_t c[] = {-3, -4, 0, -2};
    struct kv_record r;
    for (int i = 0; i < 4; i++) {
        cur = {big[i], i == 1 ? 7u : 0u, w[i], c[i], 0, nullptr};
        ticks_pass(1);
        EXPECT_EQ(cur.big, 0u) << "cleared after each update";
        if (i == 1) {
            ASSERT_EQ(kvm_read_index(k, 2, &r), 0);
            EXPECT_EQ(r.kr_valid, 1);
            EXPECT_EQ(r.kr_value.u32, 3u);  // (2 + 3) / 2 = 2.5 rounds up
        }
    }
    kvm_read_index(k, 0, &r);
    EXPECT_STREQ(r.kr_head, "kvmtest");
    // Near 2^64 (2^64 as doubles) average, minimum and maximum stop at the top.
    EXPECT_EQ(r.kr_value.u64 & r.kr_min & r.kr_max, ~uint64_t{0});
    kvm_read_index(k, 1, &r);  // one sample of 7, the zeros skipped
    EXPECT_EQ(r.kr_value.u32, 7u);
    kvm_read_index(k, 3, &r);  // -3 -4 -2, the zero skipped: value, minimum, maximum
    int32_t out[3];
    memcpy(out, &r.kr_value, sizeof(out));
    EXPECT_EQ(std::vector<int32_t>(out, out + 3), (std::vector<int32_t>{-3, -4, -2}));
    EXPECT_EQ(kvm_read_index(k, 4, &r), -1);
    kvm_destroy(k);

    // A sum of u32 samples beyond 2^32 saturates.
    struct kv_var sum_var = {"n", KV_T_U32, KVF_OUT_SUM, 4, 0, 0, 0};
    struct kv_head sum_head = {"sum", 0, 0, 1, {}, 4, nullptr, &sum_var, nullptr, nullptr, {}};
    uint32_t n = 0;
    k = make(KVM_T_SMA, KVM_PERIODIC | KVM_EXPORT, &n, &sum_head);
    for (int i = 0; i < 2; i++) {
        n = 4000000000u;
        ticks_pass(1);
    }
    kvm_read_index(k, 0, &r);
    EXPECT_EQ(r.kr_value.u32, UINT32_MAX);
    kvm_destroy(k);
}

// Every figure of a state, bit for bit.
std::vector<uint64_t> bits(const struct kvm_ma &m) {
    std::vector<uint64_t> v = {m.ma_min_dups, m.ma_max_dups, m.ma_pos, m.ma_count, m.ma_n};
    for (double d : {m.ma_last, m.ma_avg, m.ma_sdev, m.ma_sum, m.ma_sumsq, m.ma_min, m.ma_max,
                     m.ma_var, m.ma_ema_sq, m.ma_alpha})
        v.push_back(std::bit_cast<uint64_t>(d));
    return v;
}

// An object's compact windows, and variable a's once moved to doubles by
// samples from 2^32 on, give the figures of windows of doubles.
TEST_F(Kvm, CompactWindowsGiveTheFiguresOfWindowsOfDoubles) {
    struct kv_var dv[] = {{"a", KV_T_U64, 0, 8, 1, 0, 0}, {"b", KV_T_U64, 0, 8, 2, 0, 8}};
    struct kv_head dh = {"cw", 0, 0, 2, {}, 16, nullptr, dv, nullptr, nullptr, {}};
    const uint64_t objs = nmem_stats.ns_alloced_objs;
    std::mt19937_64 rng(5);
    for (int type : {KVM_T_SMA, KVM_T_EMA}) {
        uint64_t cur[2];
        struct kvm *k = make(uint8_t(type), KVM_PERIODIC, cur, &dh);
        ma_state ref[2] = {{type, 4}, {type, 4}};
        for (int step = 0; step < 200; step++) {
            const uint64_t r = rng();
            cur[0] = step >= 100 && r % 5 == 0 ? 0xFFFFFFFFu + (r >> 61) : r % 7;
            cur[1] = r >> 40;
            ref[0] << double(cur[0]);
            ref[1] << double(cur[1]);
            ticks_pass(1);
            for (int v : {0, 1})
                ASSERT_EQ(bits(k->kvm_ma[v]), bits(ref[v])) << type << " " << v << " " << step;
        }
        for (double x : {2.5, 7.0, 7.0, 7.0, 7.0})  // a fraction does not fit either
            k->kvm_ops->mo_update(&k->kvm_ma[1], x), ref[1] << x;
        EXPECT_EQ(bits(k->kvm_ma[1]), bits(ref[1]));
        // Without exports no records are kept: one reads as kv_record_init makes it.
        struct kv_record r;
        kvm_read_index(k, 1, &r);
        EXPECT_TRUE(std::string(r.kr_name) == "b" && std::string(r.kr_head) == "cw" &&
                    r.kr_valid == 0 && r.kr_value.u64 == 0);
        kvm_destroy(k);
    }
    EXPECT_EQ(nmem_stats.ns_alloced_objs, objs);
}

TEST_F(Kvm, EventsOnlyOnAFullWindowOutsideThreeSigma) {
    block cur = {};
    struct kv_var ev[] = {{"x", KV_T_U32, KVF_EVENTS | KVF_HIGH | KVF_LOW, 4, 9, 0, 0}};
    struct kv_head eh = {"ev", 0, 0, 1, {}, 4, nullptr, ev, nullptr, nullptr, {}};
    struct kvm *k = make(KVM_T_SMA, KVM_PERIODIC, &cur.n, &eh);
    events.clear();
    for (uint32_t x : {1000u, 10u, 10u, 10u}) {  // wild, but the window is not full
        cur.n = x;
        ticks_pass(1);
    }
    EXPECT_TRUE(events.empty());
    for (uint32_t x : {10u, 10u, 10u, 10u, 11u, 2u, 1000u}) {
        cur.n = x;
        ticks_pass(1);
    }
    // 11 over a flat window of 10 is an event (sdev 0), then 2 below, then
    // 1000 above avg 8.25 + 3 x 3.49.
    ASSERT_EQ(events.size(), 3u);
    EXPECT_TRUE(events[0].id == 9 && events[0].value == 11 && events[0].bound == 10);
    EXPECT_TRUE(events[1].value == 2 && events[1].bound < 10.25);
    EXPECT_TRUE(events[2].value == 1000 && events[2].bound > 8.25);
    // No callback: the event is only logged.
    k->kvm_event = nullptr;
    cur.n = 1;
    ticks_pass(1);
    EXPECT_EQ(events.size(), 3u);
    kvm_destroy(k);
}

// One rollup step of a value into a parent field of the same type.
// (The fields live in 8-byte slots, as in a block that holds any type.)
template <class T>
T rolled(uint16_t type, uint8_t flags, T parent, T child) {
    struct kv_var kv = {"v", type, flags, sizeof(T), 0, 0, 0};
    uint64_t slot[2] = {};
    memcpy(&slot[0], &parent, sizeof(T));
    memcpy(&slot[1], &child, sizeof(T));
    kv_update(&kv, &slot[0], &slot[1]);
    memcpy(&parent, &slot[0], sizeof(T));
    return parent;
}

TEST_F(Kvm, RollupAveragesWideAndParentsRunOnceWhenPending) {
    // Averaged sums are halved from a wider type; plain ones wrap.
    EXPECT_EQ(rolled<uint16_t>(KV_T_U16, KVF_AVG, 40000, 40000), 40000);
    EXPECT_EQ(rolled<int8_t>(KV_T_CHAR, KVF_AVG, -100, -100), -100);
    EXPECT_EQ(rolled<uint32_t>(KV_T_U32, KVF_AVG, 0, 10), 5u);
    EXPECT_EQ(rolled<uint32_t>(KV_T_U32, KVF_AVG, 4, 0), 4u);
    EXPECT_EQ(rolled<uint64_t>(KV_T_U64, KVF_AVG, ~uint64_t{0}, ~uint64_t{0}), ~uint64_t{0});
    EXPECT_EQ(rolled<uint16_t>(KV_T_U16, 0, 65535, 2), 1);

    block pcur = {}, ccur = {};
    struct kvm *p = make(KVM_T_SMA, KVM_EXPORT, &pcur);  // not periodic
    advance(1000000);  // its timer ran out, nothing asked for an update
    EXPECT_FALSE(ftimer_scheduled(&p->kvm_timer));
    EXPECT_EQ(p->kvm_ma[0].ma_count, 0);
    struct kvm *c = kvm_create(&head, KVM_T_NONE, KVM_PARENT, 0, 0);
    c->kvm_cur = &ccur;
    c->kvm_parents[0] = p;
    c->kvm_pkvms = 200;  // more than three: the first three only
    ccur = {7, 10, 0, 0, 0, nullptr};
    kvm_flush(c, 0);
    EXPECT_EQ(pcur.n, 5u);  // averaged: (0 + 10) / 2
    EXPECT_EQ(pcur.big, 7u);
    EXPECT_TRUE(p->kvm_flags & KVM_PENDING);
    EXPECT_TRUE(ftimer_scheduled(&p->kvm_timer));
    const uint64_t active = kvm_stats.ks_sched_active;
    kvm_sched(p);
    EXPECT_EQ(kvm_stats.ks_sched_active, active + 1);
    ticks_pass(1);  // p's one pending update
    EXPECT_FALSE(p->kvm_flags & KVM_PENDING);
    EXPECT_FALSE(ftimer_scheduled(&p->kvm_timer));
    EXPECT_EQ(p->kvm_ma[0].ma_last, 7);
    EXPECT_EQ(pcur.n, 0u);

    // One value through kvm_rollup_entry: into p's field and p's average.
    ccur.n = 6;
    kvm_rollup_entry(c, &vars[1], 1, 8);
    EXPECT_EQ(pcur.n, 3u);
    EXPECT_EQ(p->kvm_ma[1].ma_count, 2);
    EXPECT_EQ(p->kvm_ma[1].ma_last, 8);
    kvm_rollup_entry(c, &vars[1], 9, 8);  // beyond the head: refused
    EXPECT_EQ(p->kvm_ma[1].ma_count, 2);

    // Unregistered, the parent is no longer sampled: children cannot re-arm it.
    kvm_unregister(p);
    kvm_unregister(p);
    EXPECT_FALSE(ftimer_scheduled(&p->kvm_timer));
    kvm_flush(c, 1);
    EXPECT_FALSE(ftimer_scheduled(&p->kvm_timer) || ftimer_scheduled(&c->kvm_timer));
    kvm_destroy(p);
    kvm_destroy(c);
    EXPECT_DEATH(kvm_destroy(c), "kvm_destroy: Assertion `kvm is live'");
}

TEST_F(Kvm, CountersSelectionAndEssentialOnly) {
    const struct kvm_stats before = kvm_stats;
    EXPECT_EQ(kvm_create(&empty, KVM_T_SMA, 0, 3, 0), nullptr);  // no variables

    static struct agent_config cfg = {};
    agent_cfg = &cfg;
    block cur = {};
    struct kvm *k = make(KVM_T_EMA, KVM_PERIODIC | KVM_KEEP, &cur);
    EXPECT_EQ(kvm_nvars(k), 4);
    head.kh_flags = KVH_COUNTS;
    cfg.ac_var_count_idx = 2;
    EXPECT_EQ(kvm_nvars(k), 3);
    cfg.ac_var_count_idx = 7;
    EXPECT_EQ(kvm_nvars(k), 4);
    cfg.ac_essential_only = 1;
    cur.big = 5;
    expiries(1);
    EXPECT_EQ(k->kvm_ma[0].ma_count, 0);  // not essential: no update
    head.kh_flags = KVH_ESSENTIAL;
    expiries(1);
    EXPECT_EQ(k->kvm_ma[0].ma_last, 5);
    EXPECT_EQ(cur.big, 5u);  // KVM_KEEP
    head.kh_flags = 0;
    agent_cfg = nullptr;
    // Due on a bucket boundary and run a bucket later.
    EXPECT_EQ(kvm_stats.ks_last_delta, 62500u);
    kvm_destroy(k);
    // Destroying counts freed only; the pool counter counts what creation
    // took and gave back.
    EXPECT_EQ(kvm_stats.ks_freed, before.ks_freed + 1);
    EXPECT_EQ(kvm_stats.ks_pool, before.ks_pool - 1);
}

TEST_F(Kvm, MisuseStops) {
    block cur = {};
    EXPECT_DEATH(kvm_create(nullptr, 1, 0, 3, 0), "Assertion `kvh != \\(\\(void \\*\\)0\\)'");
    EXPECT_DEATH(kvm_create(&head, 3, 0, 3, 0), "Assertion `kvm_type < 3'");
    for (int bad : {11, -246})
        EXPECT_DEATH((qt::echo_to_stderr(), kvm_create(&head, 1, 0, bad, 0)),
                     "\\[panic\\]: kvm_create: invalid sampling type");
    EXPECT_DEATH(kvm_create(&head, 1, 0, 0, 0), "Assertion `kvm->kvm_sample != ");
    static struct kv_sample none = {5, 0, {}, 1000000, nullptr}, many = {6, 61, {}, 1000000, nullptr};
    kv_sample_register(&none);
    kv_sample_register(&many);
    EXPECT_DEATH(kvm_create(&head, 1, 0, 5, 0), "Assertion `ksa->ks_samples != 0'");
    EXPECT_DEATH(kvm_create(&head, 2, 0, 6, 0), "Assertion `numsamples <= 60'");
    // KVM_MA without an average type, and KVM_SAMPLED without a schedule,
    // are not taken.
    struct kvm *k = kvm_create(&head, 0, KVM_MA | KVM_SAMPLED, 0, 0);
    EXPECT_EQ(k->kvm_flags, 0);
    k->kvm_cur = &cur;
    kvm_flush(k, 1);
    kvm_sched(k);
    EXPECT_FALSE(ftimer_scheduled(&k->kvm_timer));
    EXPECT_DEATH(kvm_rollup(k), "kvm_rollup: Assertion `pkvms > 0'");
    struct kvm *s = make(KVM_T_SMA, KVM_PERIODIC, &cur, &with_string);
    EXPECT_DEATH((qt::echo_to_stderr(), ticks_pass(1)),
                 "\\[panic\\]: Unsupported type 5 of kv(.|\n)*src/core/kv_metrics.cc:[0-9]+: "
                 "kvm_update_ma");
    k->kvm_flags |= KVM_PARENT;
    k->kvm_pkvms = 1;
    k->kvm_parents[0] = s;
    k->kvm_head = &with_string;
    EXPECT_DEATH((qt::echo_to_stderr(), kvm_rollup(k)),
                 "\\[panic\\]: can't rollup string values(.|\n)*src/core/kv.h:[0-9]+: kv_update");
    kvm_destroy(s);
    kvm_destroy(k);
}

}  // namespace
