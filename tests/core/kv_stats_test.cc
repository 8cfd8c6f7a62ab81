#include "core/kv_stats.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core/kern_timeout.h"
#include "core/nmem.h"
#include "core/timestamp.h"
#include "support/test_support.h"

namespace {

struct block {
    uint32_t n;
    uint16_t w;
    int8_t c;
    uint8_t pad;
    char *s;
    uint64_t big;
};
struct kv_var vars[] = {
    {"n", KV_T_U32, 0, 4, 0, 0, offsetof(block, n)},
    {"w", KV_T_U16, 0, 2, 0, 0, offsetof(block, w)},
    {"c", KV_T_CHAR, 0, 1, 0, 0, offsetof(block, c)},
    {"s", KV_T_STRING, 0, 8, 0, 0, offsetof(block, s)},
    {"big", KV_T_U64, 0, 8, 0, 0, offsetof(block, big)},
    {"none", KV_T_NONE, 0, 0, 0, 0, offsetof(block, pad)},
};
struct kv_head head = {"kvstest", 0, 0, 5, {}, sizeof(block), nullptr, vars, nullptr, nullptr, {}};
// The same variables and a type-0 one at the end.
struct kv_head head0 = {"kvstest0", 0, 0, 6, {}, sizeof(block), nullptr, vars, nullptr, nullptr, {}};

int samples;  // sample callbacks so far
void count_sample(void *, void *) {
    samples++;
}
// Schedule 3: every 250 ms.
struct kv_sample sample3 = {3, 60, {}, 250000, count_sample};

int exported;
void export_fn(void *state, void *obj, int source) {
    EXPECT_EQ(source, 0);
    EXPECT_EQ(static_cast<struct kvs *>(obj)->kvs_export_state, state);
    exported++;
}
struct kv_export exp0 = {0, export_fn, {}}, exp1 = {1, export_fn, {}};

struct KvStats : ::testing::Test {
    static void SetUpTestSuite() {
        ticks = 1000000;
        softclock_init(nullptr);
        kv_mod_init(nullptr);
        kv_sample_register(&sample3);
        kv_export_register(&exp0);
        kv_export_register(&exp1);
        kv_stats_mod_init(nullptr);
    }
    // Moves time on, 62.5 ms at a time, until the sample callback ran n
    // more times.
    static void ticks_pass(int n) {
        for (int want = samples + n; samples < want;) {
            ticks += 62500;
            softclock();
        }
    }
};

TEST_F(KvStats, TicksAddIntoTheTotalAndRollUpAtEachWidth) {
    // A counter grows by 5 in each of three intervals: with KVS_RESET the
    // total is 15; without, the block keeps growing and is added again.
    for (auto [flags, want] : {std::pair{KVS_RESET, 15u}, {uint8_t(0), 30u}}) {
        block data = {}, total = {};
        struct kvs *k = kvs_create(&head, flags, 3, 0);
        k->kvs_data = &data;
        k->kvs_total = &total;
        for (int i = 0; i < 3; i++) {
            data.n += 5;
            ticks_pass(1);
        }
        EXPECT_EQ(total.n, want);
        data.n += 2;
        struct kv_record r = {};
        EXPECT_EQ(kvs_read_index(k, 0, &r, 1), 0);
        EXPECT_EQ(r.kr_value.u32, want + data.n);
        kvs_read_index(k, 0, &r, 0);
        EXPECT_EQ(r.kr_value.u32, data.n);
        EXPECT_EQ(kvs_read_index(k, 3, &r, 1), 0);  // a string: no total added
        EXPECT_EQ(kvs_read_index(k, 5, &r, 1), -1);
        kvs_destroy(k);
    }

    char text[] = "kept";
    block pdata = {0, 65535, 127, 0, text, ~uint64_t{0}}, cdata = {7, 1, 1, 0, nullptr, 3};
    struct kvs *p = kvs_create(&head, 0, 0, 0);
    struct kvs *c = kvs_create(&head, KVS_PARENT | KVS_RESET, 3, 0);
    p->kvs_data = &pdata;
    c->kvs_data = &cdata;
    c->kvs_pkvs = p;
    ticks_pass(1);
    EXPECT_EQ(pdata.big, 2u);
    EXPECT_EQ(pdata.n, 7u);
    EXPECT_EQ(pdata.w, 0u);
    EXPECT_EQ(pdata.c, -128);
    EXPECT_EQ(pdata.s, text);
    EXPECT_EQ(cdata.n, 0u);
    kvs_flush(p, 1);  // no schedule to cancel
    kvs_destroy(c);
    kvs_destroy(p);
}

TEST_F(KvStats, FlushCancelsOrKeepsTheTimerAndUnregisterIsIdempotent) {
    block data = {}, pdata = {};
    struct kvs *p = kvs_create(&head, 0, 0, 0);
    struct kvs *k = kvs_create(&head, KVS_PARENT, 3, 0x03);
    k->kvs_data = &data;
    p->kvs_data = &pdata;
    k->kvs_pkvs = p;
    data.n = 4;
    kvs_flush(k, 0);  // callback and rollup now; the timer keeps running
    EXPECT_EQ(pdata.n, 4u);
    EXPECT_TRUE(ftimer_scheduled(&k->kvs_timer));
    exported = 0;
    ticks_pass(1);
    EXPECT_EQ(exported, 2);  // 0x03: export types 0 and 1
    EXPECT_EQ(pdata.n, 8u);
    kvs_flush(k, 1);
    struct kvs *other = kvs_create(&head, 0, 3, 0x02);  // nothing attached
    EXPECT_FALSE(other->kvs_flags & KVS_EXPORT);
    ticks_pass(2);  // other ticks, k does not
    EXPECT_EQ(exported, 2);
    EXPECT_EQ(pdata.n, 12u);  // the flush's rollup only
    kvs_destroy(other);

    // Unregistering twice, then destroying, releases once (the fuzz target
    // checks the heap pointer of the export state on every path).
    kvs_unregister(k);
    kvs_unregister(k);
    kvs_destroy(k);
    kvs_destroy(p);
    EXPECT_DEATH(kvs_destroy(p), "kvs_destroy: Assertion `kvs is live'");
}

TEST_F(KvStats, MisuseStops) {
    block data = {};
    struct kvs *k = kvs_create(&head0, 0, 3, 0);
    k->kvs_data = &data;
    ticks_pass(1);  // a type-0 variable ticks fine alone
    struct kvs *orphan = kvs_create(&head, KVS_PARENT, 0, 0);
    EXPECT_DEATH(kvs_flush(orphan, 0), "kvs_rollup: Assertion `pkvs != \\(\\(void \\*\\)0\\)'");
    orphan->kvs_pkvs = k;
    EXPECT_DEATH(kvs_flush(orphan, 0), "Assertion `kvs->kvs_head == pkvs->kvs_head'");
    k->kvs_total = &data;
    EXPECT_DEATH((qt::echo_to_stderr(), ticks_pass(1)),
                 "\\[panic\\]: Unsupported type 0 of kv(.|\n)*src/core/kv_stats.cc:[0-9]+: "
                 "kvs_update: Assertion");
    EXPECT_DEATH(kvs_create(&head, 0, -246, 0), "Assertion `type < KSAMPLE_T_LAST'");
    EXPECT_DEATH(kvs_create(&head, 0, 2 + 7, 0), "global_sample_array");
    static struct kv_sample slow = {4, 60, {}, 128000000, nullptr};
    kv_sample_register(&slow);
    EXPECT_DEATH(kvs_create(&head, 0, 4, 0), "to_ticks < fth->fth_maxticks");
    kvs_destroy(orphan);
    kvs_destroy(k);
    EXPECT_EQ(kvs_nvars(nullptr), 0);
}

}  // namespace
