// kv_stats: interval counters rolled up on a schedule.
//
// Everything here runs on the main poll thread (ticks from the wheel, which
// the kvs_poll callout runs) or on the owner's thread between ticks; the
// module takes no lock.
#include "core/kv_stats.h"

#include <cstring>

#include "core/kern_timeout.h"
#include "core/logging.h"
#include "core/nassert.h"
#include "core/nmem.h"
#include "core/sysinit.h"

static struct nmem_pool *kvs_pool;
static struct ftimer_wheel *kvs_wheel;
static tailq<kvs, &kvs::kvs_link> kvs_list = TAILQ_HEAD_INITIALIZER(kvs_list);

// dst += src at the variable's width, wrapping.
template <class T>
static inline void kvs_add(char *dst, const char *src) {
    kv_store<T>(dst, static_cast<T>(kv_load<T>(dst) + kv_load<T>(src)));
}

// dst += src, variable by variable at each width.  A variable that cannot
// be added stops the process in the name of func.
static void kvs_add_block(const struct kv_head *kh, void *dst, void *src, const char *func) {
    for (unsigned i = 0; i < kh->kh_nvars; i++) {
        const struct kv_var *kv = &kh->kh_vars[i];
        char *d = kv_field(dst, kv);
        const char *s = kv_field(src, kv);
        switch (kv_value_type(kv->kv_type)) {
            case KV_T_CHAR:
                kvs_add<uint8_t>(d, s);
                break;
            case KV_T_U16:
                kvs_add<uint16_t>(d, s);
                break;
            case KV_T_U32:
                kvs_add<uint32_t>(d, s);
                break;
            case KV_T_U64:
                kvs_add<uint64_t>(d, s);
                break;
            case KV_T_STRING:
                break;
            default:
                tr_log(1, TR_ERROR, "[panic]: Unsupported type %d of kv",
                       int(kv_value_type(kv->kv_type)));
                n_assert_fail("0", __FILE__, __LINE__, func);
        }
    }
}

static inline void kvs_sched(struct kvs *kvs) {
    ftimer_sched(kvs_wheel, &kvs->kvs_timer, int(kvs->kvs_sample->ks_interval));
}

struct kvs *kvs_create(struct kv_head *kh, uint8_t flags, int sample_type, int export_mask) {
    auto *kvs = static_cast<struct kvs *>(nmem_pool_alloc(kvs_pool));
    if (kvs == nullptr) return nullptr;
    kvs->kvs_head = kh;
    kvs->kvs_flags |= flags;
    kvs->kvs_exports.init();
    kvs->kvs_timer.ft_arg = reinterpret_cast<uintptr_t>(kvs);
    if (sample_type != 0) {
        // A negative type must not wrap into a valid one.
        N_ASSERT(sample_type > 0 && sample_type < KSAMPLE_T_LAST, "type < KSAMPLE_T_LAST");
        kvs->kvs_flags |= KVS_SCHED;
        kvs->kvs_sample = kv_get_sample(uint8_t(sample_type));
        kvs_sched(kvs);
    } else {
        // Only kvs_create puts an object on the wheel.
        kvs->kvs_flags &= uint8_t(~KVS_SCHED);
    }
    kvs->kvs_flags &= uint8_t(~KVS_EXPORT);
    if (export_mask & 0x15) {
        kvs->kvs_flags |= KVS_EXPORT;
        for (uint8_t i = 0; i < KV_EXPORT_TYPES; i++) {
            if (!(export_mask & (1 << i))) continue;
            if (struct kv_export *e = kv_get_export(i)) kvs->kvs_exports.insert_head(e);
        }
    }
    kvs_list.insert_head(kvs);
    return kvs;
}

void kvs_register(struct kvs *kvs) {
    if (!kvs_list.linked(kvs)) kvs_list.insert_head(kvs);
}

// Idempotent: what it releases is cleared, and the flags that say it is
// there go with it.
void kvs_unregister(struct kvs *kvs) {
    if (kvs_list.linked(kvs)) kvs_list.remove(kvs);
    if (kvs->kvs_flags & KVS_SCHED) ftimer_unsched(kvs_wheel, &kvs->kvs_timer);
    if (kvs->kvs_flags & KVS_EXPORT) kv_export_release(&kvs->kvs_exports, kvs->kvs_export_state);
    kvs->kvs_flags &= uint8_t(~(KVS_SCHED | KVS_EXPORT));
}

void kvs_destroy(struct kvs *kvs) {
    // A second destroy would read the free-list link as the object.
    N_ASSERT(nmem_hdr_of(kvs)->nh_guard == NMEM_LIVE, "kvs is live");
    kvs_unregister(kvs);
    nmem_pool_free(kvs_pool, kvs);
}

void kvs_rollup(struct kvs *kvs) {
    struct kvs *pkvs = kvs->kvs_pkvs;
    N_ASSERT(pkvs != ((void *)0));
    N_ASSERT(kvs->kvs_head == pkvs->kvs_head);
    if (kvs->kvs_data == nullptr || pkvs->kvs_data == nullptr) return;
    kvs_add_block(kvs->kvs_head, pkvs->kvs_data, kvs->kvs_data, "kvs_rollup");
}

void kvs_update(uint64_t arg, uint32_t) {
    auto *kvs = reinterpret_cast<struct kvs *>(static_cast<uintptr_t>(arg));
    const struct kv_sample *ksa = kvs->kvs_sample;
    kvs_sched(kvs);
    if (ksa->ks_callback != nullptr) ksa->ks_callback(kvs, kvs->kvs_arg);
    if (kvs->kvs_flags & KVS_EXPORT)
        for (struct kv_export *e : kvs->kvs_exports)
            e->ke_fn(kvs->kvs_export_state, kvs, 0);
    if (kvs->kvs_flags & KVS_PARENT) kvs_rollup(kvs);
    if (kvs->kvs_data == nullptr) return;
    if (kvs->kvs_total != nullptr)
        kvs_add_block(kvs->kvs_head, kvs->kvs_total, kvs->kvs_data, "kvs_update");
    if (kvs->kvs_flags & KVS_RESET) memset(kvs->kvs_data, 0, kvs->kvs_head->kh_size);
}

void kvs_flush(struct kvs *kvs, int cancel) {
    if (cancel && (kvs->kvs_flags & KVS_SCHED)) ftimer_unsched(kvs_wheel, &kvs->kvs_timer);
    if (kvs->kvs_sample != nullptr && kvs->kvs_sample->ks_callback != nullptr)
        kvs->kvs_sample->ks_callback(kvs, kvs->kvs_arg);
    if (kvs->kvs_flags & KVS_PARENT) kvs_rollup(kvs);
}

int kvs_read_index(struct kvs *kvs, int i, struct kv_record *r, int with_total) {
    const struct kv_head *kh = kvs->kvs_head;
    if (i < 0 || i >= int(kh->kh_nvars)) return -1;
    if (kvs->kvs_data != nullptr) {
        kv_read_index(kh, i, kvs->kvs_data, r);
    } else {
        // No current block: the names and a zero value, which the total
        // (if any) is added to.
        kv_record_init(kh, i, r);
        r->kr_size = kh->kh_vars[i].kv_size;
        memset(&r->kr_value, 0, sizeof(r->kr_value));
    }
    unsigned type = kv_value_type(kh->kh_vars[i].kv_type);
    // Only numbers add up; a string's total would stop the process.
    if (with_total && kvs->kvs_total != nullptr && type >= KV_T_CHAR && type <= KV_T_U64)
        kv_read_index_add(kh, i, kvs->kvs_total, r);
    return 0;
}

int kvs_nvars(const struct kvs *kvs) {
    return kvs == nullptr ? 0 : int(kvs->kvs_head->kh_nvars);
}

static void kvs_poll(void *) {
    timeout(kvs_poll, nullptr, KVS_WHEEL_TICK);
    ftimer_run(kvs_wheel);
}

void kv_stats_mod_init(void *) {
    kvs_pool = nmem_pool_create("kvs", KVS_POOL_SIZE, sizeof(struct kvs), NMEM_ZERO);
    if (kvs_pool == nullptr) {
        tr_log(1, TR_ERROR, "kv_stats_mod_init: failed to create kvs pool");
        N_ASSERT(kvs_pool != ((void *)0));
    }
    kvs_list.init();
    kvs_wheel = ftimer_create(kvs_update, KVS_WHEEL_BUCKETS, KVS_WHEEL_TICK);
    timeout(kvs_poll, nullptr, KVS_WHEEL_TICK);
}
SYSINIT(kv_stats_mod, "kv_stats_mod", SI_SUB_KV, SI_ORDER_ANY, kv_stats_mod_init, nullptr);
