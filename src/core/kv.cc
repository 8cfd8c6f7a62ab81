// kv: the registry of kv heads and the sample, export and ops tables, and
// the per-type reading, writing, adding and printing of variables.
//
// No locks.  The tables and the head list are written at start-up on the
// main thread and only read afterwards.  Data blocks are written by their
// owners and read by the control-socket thread without a lock; variable
// access therefore goes through single relaxed loads and stores wherever
// the field is naturally aligned, so a reader sees an old or a new value
// but never a torn one.
#include "core/kv.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "core/logging.h"
#include "core/nassert.h"
#include "core/nmem.h"
#include "core/sysinit.h"

const char *const kv_aggregation_names[7] = {
    "",           "AVERAGE",     "ADVANCED_AVERAGE",
    "SUM",        "OBSERVATION", "OBSERVATION_FOREVERINCREASING",
    "PERCENTILE",
};
const char *const kv_rollup_names[4] = {"", "AVERAGE", "SUM", "CURRENT"};
const char *const kv_grouping_names[3] = {"", "INDIVIDUAL", "COLLECTIVE"};

static const struct kv_ops *kv_ops_table[KV_HEAD_TYPES];
static struct kv_sample *global_sample_array[KSAMPLE_T_LAST];
static struct kv_export *kv_export_table[KV_EXPORT_TYPES];
static tailq<kv_head, &kv_head::kh_link> kv_heads = TAILQ_HEAD_INITIALIZER(kv_heads);

// The record's value field at a given width.
template <class T>
static inline T kv_rec_get(const struct kv_record *r) {
    T v;
    memcpy(&v, &r->kr_value, sizeof(v));
    return v;
}

template <class T>
static inline void kv_rec_set(struct kv_record *r, T v) {
    memcpy(&r->kr_value, &v, sizeof(v));
}

// Bounded copy that always terminates dst (names come from fixed buffers
// that a module may have filled to the last byte).
static void kv_copy_name(char *dst, size_t dstlen, const char *src, size_t srclen) {
    size_t n = strnlen(src, srclen);
    if (n >= dstlen) n = dstlen - 1;
    memcpy(dst, src, n);
    dst[n] = '\0';
}

/*
 * Registration.
 */

// Registers kh: copies the ops of its type, allocates its data block when
// it has a size, and builds the offset-to-index map.  A head is linked at
// most once: registering it again would loop the list.
int kv_register(struct kv_head *kh) {
    if (kv_heads.linked(kh)) {
        if (tr_mask & 1) tr_log(1, TR_ERROR, "kv_register: %.64s already registered", kh->kh_name);
        return -1;
    }
    kh->kh_ops = kv_ops_table[kh->kh_type];
    void *data = nullptr;
    if (kh->kh_size != 0) {
        data = nmem_alloc(kh->kh_size, NMEM_ZERO);
        if (data == nullptr) {
            tr_log(1, TR_ERROR, "kv_register: kh_data alloc failed");
            return -1;
        }
        kh->kh_data = data;
    }
    uint32_t m = 0;
    for (unsigned i = 0; i < kh->kh_nvars; i++) {
        uint32_t off = kh->kh_vars[i].kv_offset;
        m = (m > off ? m : off) + 1;
    }
    auto *map = static_cast<uint8_t *>(nmem_alloc(m, NMEM_ZERO));
    if (map == nullptr) {
        tr_log(1, TR_ERROR, "kv_register: kh_map alloc failed");
        if (data != nullptr) {
            nmem_free(data);
            kh->kh_data = nullptr;
        }
        return -1;
    }
    for (unsigned i = 0; i < kh->kh_nvars; i++)
        map[kh->kh_vars[i].kv_offset] = uint8_t(i);
    kh->kh_map = map;
    kv_heads.insert_head(kh);
    return 0;
}

// Unlinks kh and releases what kv_register allocated.  A head with size 0
// keeps the data block its module set: that block was never the registry's.
void kv_unregister(struct kv_head *kh) {
    if (!kv_heads.linked(kh)) return;
    kv_heads.remove(kh);
    kh->kh_ops = nullptr;
    if (kh->kh_size != 0 && kh->kh_data != nullptr) {
        nmem_free(kh->kh_data);
        kh->kh_data = nullptr;
    }
    if (kh->kh_map != nullptr) {
        nmem_free(kh->kh_map);
        kh->kh_map = nullptr;
    }
}

struct kv_head *kv_head_first(void) {
    return kv_heads.first();
}
struct kv_head *kv_head_next(const struct kv_head *kh) {
    return kv_heads.next(kh);
}

void kv_register_ops(uint8_t type, const struct kv_ops *ops) {
    N_ASSERT(type < 4);
    if (kv_ops_table[type] != nullptr) {
        tr_log(1, TR_ERROR, "kv_register_ops: error kv_ops already registered");
        return;
    }
    kv_ops_table[type] = ops;
}

void kv_unregister_ops(uint8_t type) {
    N_ASSERT(type < 4);
    kv_ops_table[type] = nullptr;
}

void kv_sample_register(struct kv_sample *ksa) {
    N_ASSERT(ksa->ks_type < KSAMPLE_T_LAST);
    global_sample_array[ksa->ks_type] = ksa;
}

void kv_sample_unregister(struct kv_sample *ksa) {
    N_ASSERT(ksa->ks_type < KSAMPLE_T_LAST);
    global_sample_array[ksa->ks_type] = nullptr;
}

struct kv_sample *kv_get_sample(uint8_t type) {
    N_ASSERT(type < KSAMPLE_T_LAST);
    N_ASSERT(global_sample_array[type] != ((void *)0));
    return global_sample_array[type];
}

void kv_export_register(struct kv_export *kexp) {
    N_ASSERT(kexp->ke_fn != nullptr, "kexp->ke_fn != ((void *)0)");
    N_ASSERT(kexp->ke_type < 5);
    kv_export_table[kexp->ke_type] = kexp;
}

void kv_export_unregister(struct kv_export *kexp) {
    N_ASSERT(kexp->ke_type < 5);
    kv_export_table[kexp->ke_type] = nullptr;
}

struct kv_export *kv_get_export(uint8_t type) {
    N_ASSERT(type < 5);
    const struct kv_export *kexp = kv_export_table[type];
    if (kexp == nullptr || kexp->ke_fn == nullptr) return nullptr;
    auto *copy = static_cast<struct kv_export *>(nmem_alloc(sizeof(struct kv_export), NMEM_ZERO));
    if (copy == nullptr) {
        tr_log(1, TR_ERROR, "kv_get_export: alloc failed");
        return nullptr;
    }
    memcpy(static_cast<void *>(copy), kexp, sizeof(*copy));
    return copy;
}

struct kv_var *kv_var_array_alloc(uint8_t count) {
    auto *vars = static_cast<struct kv_var *>(
        nmem_alloc(uint32_t{count} * sizeof(struct kv_var), NMEM_ZERO));
    if (vars == nullptr) tr_log(1, TR_DEBUG, "kv_var_array_alloc: alloc failed");
    return vars;
}

void kv_var_array_free(struct kv_var *vars) {
    nmem_free(vars);
}

/*
 * Variable access.
 */

void kv_read_data(const struct kv_var *kv, const void *data, struct kv_record *r) {
    r->kr_type = kv->kv_type;
    r->kr_size = kv->kv_size;
    kv_copy_name(r->kr_name, sizeof(r->kr_name), kv->kv_name, sizeof(kv->kv_name));
    const char *p = kv_field(data, kv);
    switch (kv_value_type(kv->kv_type)) {
        case KV_T_NONE:
            break;
        case KV_T_CHAR:
            kv_rec_set(r, kv_load<int8_t>(p));
            break;
        case KV_T_U16:
            kv_rec_set(r, kv_load<uint16_t>(p));
            break;
        case KV_T_U32:
            kv_rec_set(r, kv_load<uint32_t>(p));
            break;
        case KV_T_U64:
        case KV_T_IPV4_LIST:  // the array pointer itself
            kv_rec_set(r, kv_load<uint64_t>(p));
            break;
        case KV_T_STRING: {
            const char *s = kv_load<const char *>(p);
            if (s != nullptr) r->kr_value.str = strdup(s);
            break;
        }
        default:
            N_ASSERT(0);
    }
}

void kv_write_data(const struct kv_var *kv, void *data, const struct kv_record *r) {
    char *p = kv_field(data, kv);
    switch (kv_value_type(kv->kv_type)) {
        case KV_T_NONE:
            break;
        case KV_T_CHAR:
            kv_store(p, kv_rec_get<int8_t>(r));
            break;
        case KV_T_U16:
            kv_store(p, kv_rec_get<uint16_t>(r));
            break;
        case KV_T_U32:
            kv_store(p, kv_rec_get<uint32_t>(r));
            break;
        case KV_T_U64:
            kv_store(p, kv_rec_get<uint64_t>(r));
            break;
        case KV_T_STRING: {
            char *old = kv_load<char *>(p);
            // The new copy is made before the old string goes, so that a record
            // carrying the variable's own string is copied, not freed first.
            // Without memory for the copy the write does not happen (n_strdup
            // has said so): the old string stays rather than being lost.
            const char *src = r->kr_value.str;
            char *copy = src != nullptr ? n_strdup(src) : nullptr;
            if (src != nullptr && copy == nullptr) break;
            kv_store(p, copy);
            if (old != nullptr) nmem_free(old);
            break;
        }
        default:
            N_ASSERT(0);
    }
}

int kv_read_index(const struct kv_head *kh, int i, const void *data, struct kv_record *r) {
    kv_copy_name(r->kr_head, sizeof(r->kr_head), kh->kh_name, sizeof(kh->kh_name));
    kv_read_data(&kh->kh_vars[i], data, r);
    return 0;
}

// r's value += the variable's, in the variable's own width: a counter that
// wraps in the block wraps the same way in the sum.
template <class T>
static void kv_add_width(struct kv_record *r, const char *p) {
    kv_rec_set(r, static_cast<T>(kv_rec_get<T>(r) + kv_load<T>(p)));
}

int kv_read_index_add(const struct kv_head *kh, int i, const void *data, struct kv_record *r) {
    const struct kv_var *kv = &kh->kh_vars[i];
    const char *p = kv_field(data, kv);
    switch (kv_value_type(kv->kv_type)) {
        case KV_T_CHAR:
            kv_add_width<uint8_t>(r, p);
            break;
        case KV_T_U16:
            kv_add_width<uint16_t>(r, p);
            break;
        case KV_T_U32:
            kv_add_width<uint32_t>(r, p);
            break;
        case KV_T_U64:
            kv_add_width<uint64_t>(r, p);
            break;
        case KV_T_STRING:
            tr_log(1, TR_ERROR, "[panic]: invalid type");
            N_ASSERT(0);
            break;
        default:
            N_ASSERT(0);
    }
    return 0;
}

void kv_record_init(const struct kv_head *kh, int i, struct kv_record *r) {
    const struct kv_var *kv = &kh->kh_vars[i];
    kv_copy_name(r->kr_name, sizeof(r->kr_name), kv->kv_name, sizeof(kv->kv_name));
    kv_copy_name(r->kr_head, sizeof(r->kr_head), kh->kh_name, sizeof(kh->kh_name));
    r->kr_type = kv->kv_type;
}

void kv_record_release(struct kv_record *r, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (kv_value_type(r[i].kr_type) != KV_T_STRING) continue;
        free(r[i].kr_value.str);
        r[i].kr_value.str = nullptr;
    }
}

/*
 * Printing.
 */

const char *kv_value_text(const struct kv_record *r, char (&buf)[KV_VALUE_TEXT_SIZE]) {
    buf[0] = '\0';
    switch (kv_value_type(r->kr_type)) {
        case KV_T_CHAR:
            buf[0] = char(kv_rec_get<int8_t>(r));
            buf[1] = '\0';
            break;
        case KV_T_U16:
            snprintf(buf, sizeof(buf), "%u", unsigned{kv_rec_get<uint16_t>(r)});
            break;
        case KV_T_U32:
            snprintf(buf, sizeof(buf), "%u", kv_rec_get<uint32_t>(r));
            break;
        case KV_T_U64:
            snprintf(buf, sizeof(buf), "%lu", kv_rec_get<uint64_t>(r));
            break;
        case KV_T_STRING:
            return r->kr_value.str != nullptr ? r->kr_value.str : "";
        case KV_T_IPV4_LIST: {
            // The size byte allows 16 addresses at most: "255.255.255.255,"
            // each, the last one's comma being the NUL.
            const auto *sa = static_cast<const struct sockaddr_in *>(r->kr_value.addrs);
            size_t used = 0;
            for (unsigned i = 0; sa != nullptr && i < (r->kr_size + 15u) / 16u; i++) {
                uint32_t a = ntohl(sa[i].sin_addr.s_addr);
                used += size_t(snprintf(buf + used, sizeof(buf) - used, "%s%u.%u.%u.%u",
                                        i ? "," : "", a >> 24, (a >> 16) & 0xff, (a >> 8) & 0xff,
                                        a & 0xff));
            }
            break;
        }
        default:
            break;
    }
    return buf;
}

int kv_utf8_len(const char *s, size_t n) {
    const auto *u = reinterpret_cast<const unsigned char *>(s);
    unsigned c = u[0];
    if (c < 0x80) return 1;
    // The length a lead byte announces, and the range its first
    // continuation byte must lie in (overlongs, surrogates and code points
    // above U+10FFFF are what the narrower ranges leave out).
    int len;
    unsigned lo = 0x80, hi = 0xbf;
    if (c >= 0xc2 && c <= 0xdf)
        len = 2;
    else if (c >= 0xe0 && c <= 0xef)
        len = 3, lo = c == 0xe0 ? 0xa0 : 0x80, hi = c == 0xed ? 0x9f : 0xbf;
    else if (c >= 0xf0 && c <= 0xf4)
        len = 4, lo = c == 0xf0 ? 0x90 : 0x80, hi = c == 0xf4 ? 0x8f : 0xbf;
    else
        return -1;
    for (int i = 1; i < len; i++) {
        if (size_t(i) >= n || u[i] < (i == 1 ? lo : 0x80) || u[i] > (i == 1 ? hi : 0xbf))
            return -i;
    }
    return len;
}

void kv_text_fit(char *dst, size_t size, const char *text) {
    size_t n = strlen(text);
    if (n < size) {
        memcpy(dst, text, n + 1);
        return;
    }
    // Whole characters (or ill-formed parts) up to the room before the mark.
    const size_t room = size - sizeof(KV_TEXT_CUT);
    size_t keep = 0;
    for (;;) {
        int l = kv_utf8_len(text + keep, n - keep);
        size_t step = size_t(l < 0 ? -l : l);
        if (keep + step > room) break;
        keep += step;
    }
    memcpy(dst, text, keep);
    memcpy(dst + keep, KV_TEXT_CUT, sizeof(KV_TEXT_CUT));
}

void kv_print_record(const struct kv_record *r, FILE *stream) {
    unsigned t = kv_value_type(r->kr_type);
    if (t < KV_T_CHAR || t > KV_T_STRING) return;
    char buf[KV_VALUE_TEXT_SIZE];
    fprintf(stream, ",%.127s:%s", r->kr_name, kv_value_text(r, buf));
}

void kv_log_record(const struct kv_record *r) {
    unsigned t = kv_value_type(r->kr_type);
    if ((tr_mask & 1) == 0 || t < KV_T_CHAR || t > KV_T_IPV4_LIST) return;
    char buf[KV_VALUE_TEXT_SIZE];
    const char *text = kv_value_text(r, buf);
    if (t == KV_T_CHAR && text[0] == '\0') return;
    if (t != KV_T_IPV4_LIST) {
        tr_log(1, TR_DEBUG, "%.127s:%s", r->kr_name, text);
        return;
    }
    // One line per address.
    for (const char *a = text; *a != '\0';) {
        size_t n = strcspn(a, ",");
        tr_log(1, TR_DEBUG, "%.127s:IPv4 %.*s", r->kr_name, int(n), a);
        a += n + (a[n] == ',');
    }
}

void kv_log_records(int count, const struct kv_record *r) {
    for (int i = 0; i < count; i++)
        kv_log_record(&r[i]);
}

/*
 * Module.
 */

static struct kv_sample kv_sample_second = {1, 60, {0, 0}, 1000000, nullptr};
static struct kv_sample kv_sample_minute = {2, 60, {0, 0}, 60000000, nullptr};

// Registers the built-in schedules: one sample a second over a minute, and
// one a minute over an hour.
void kv_mod_init(void *) {
    kv_sample_register(&kv_sample_second);
    kv_sample_register(&kv_sample_minute);
}
SYSINIT(kv_mod, "kv_mod", SI_SUB_KV, SI_ORDER_ANY, kv_mod_init, nullptr);
