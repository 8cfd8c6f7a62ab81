// kv: the type system of the statistics variables and their registry.
//
// A module describes a block of its own variables once, as a kv head: a
// name, the size of the block and an array of variable descriptors giving
// each variable's name, value type, size and byte offset in the block.
// Everything else (the control tree, the rollups, the metrics, the
// configuration reader) works from the descriptors alone and exchanges
// single values as 224-byte kv value records, which are also the body
// records of the control socket.
//
// The registry keeps three small tables that the kv modules look up by
// number: sample descriptors (sampling schedules), export descriptors and
// per-head-type kv ops.  It takes no lock: registration happens at start-up
// on the main thread, and afterwards the tables are only read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <type_traits>

#include "core/logging.h"
#include "core/nassert.h"
#include "core/nmem.h"
#include "core/queue.h"

// Value types: the low 4 bits of a variable's 16-bit type word.  The upper
// 12 bits travel with the value into records and are not interpreted here.
inline constexpr uint16_t KV_T_NONE = 0;       // no storage; reads and writes do nothing
inline constexpr uint16_t KV_T_CHAR = 1;       // 8-bit signed character
inline constexpr uint16_t KV_T_U16 = 2;        // 16-bit unsigned
inline constexpr uint16_t KV_T_U32 = 3;        // 32-bit unsigned
inline constexpr uint16_t KV_T_U64 = 4;        // 64-bit unsigned
inline constexpr uint16_t KV_T_STRING = 5;     // pointer to a NUL-terminated nmem string
inline constexpr uint16_t KV_T_IPV4_LIST = 6;  // pointer to 16-byte IPv4 socket addresses
inline constexpr uint16_t KV_T_MASK = 0x000f;
// The variable's kind, in the top bit: a counter only ever grows (until it
// wraps or the program restarts); a number without it is a gauge.  Readers
// such as the Prometheus export choose their metric type from it.  (The
// metadata store's type words, 0x1124, use bits below it.)
inline constexpr uint16_t KV_K_COUNTER = 0x8000;

inline constexpr unsigned kv_value_type(uint16_t type_word) {
    return type_word & KV_T_MASK;
}

// Variable flags.
inline constexpr uint8_t KVF_AVG = 0x01;
inline constexpr uint8_t KVF_EVENTS = 0x02;
inline constexpr uint8_t KVF_NONZERO = 0x04;
inline constexpr uint8_t KVF_HIGH = 0x08;
inline constexpr uint8_t KVF_LOW = 0x10;
inline constexpr uint8_t KVF_OUT_SUM = 0x20;
inline constexpr uint8_t KVF_OUT_LAST = 0x40;
inline constexpr uint8_t KVF_RDONLY = 0x80;  // control-tree element leaves refuse writes

// Head flags.
inline constexpr uint8_t KVH_COUNTS = 0x40;     // exporters see the per-index variable count
inline constexpr uint8_t KVH_ESSENTIAL = 0x80;  // metrics run even in essential-only mode

inline constexpr size_t KV_NAME_LEN = 64;
inline constexpr unsigned KV_HEAD_TYPES = 4;    // kv ops table size
inline constexpr uint8_t KSAMPLE_T_LAST = 11;   // sample descriptor types 0..10
inline constexpr unsigned KV_EXPORT_TYPES = 5;  // export descriptor types 0..4

// kv variable descriptor.  Static tables in the modules, or arrays from
// kv_var_array_alloc.
struct kv_var {
    char kv_name[KV_NAME_LEN];  // NUL-terminated
    uint16_t kv_type;           // type word: value type in the low 4 bits
    uint8_t kv_flags;           // KVF_*
    uint8_t kv_size;            // bytes; for an address list the array length
    uint8_t kv_event_id;        // handed to the metric event callback
    uint8_t kv_reserved;
    uint16_t kv_offset;  // byte position in the head's data block
};
static_assert(sizeof(struct kv_var) == 72);
static_assert(offsetof(struct kv_var, kv_type) == 64);
static_assert(offsetof(struct kv_var, kv_flags) == 66);
static_assert(offsetof(struct kv_var, kv_size) == 67);
static_assert(offsetof(struct kv_var, kv_event_id) == 68);
static_assert(offsetof(struct kv_var, kv_offset) == 70);

struct kv_head;
struct kv_record;

// Per-head-type operations.  The registry stores and copies these pointers
// but never calls through them; their use belongs to the modules that
// provide a head type.
struct kv_ops {
    int (*ko_read_index)(struct kv_head *kh, int i, void *data, struct kv_record *r);
    int (*ko_read_index_add)(struct kv_head *kh, int i, void *data, struct kv_record *r);
    void *ko_arg;
};

struct kv_head {
    char kh_name[KV_NAME_LEN];  // NUL-terminated; a configuration head's module name
    uint8_t kh_type;            // 0..3, index into the kv ops table
    uint8_t kh_flags;           // KVH_*; other bits carried along
    uint16_t kh_nvars;          // entries in kh_vars
    uint8_t kh_counts[4];       // per-index variable counts (KVH_COUNTS)
    uint16_t kh_size;           // bytes of the data block
    void *kh_data;              // allocated by kv_register when kh_size != 0
    struct kv_var *kh_vars;
    const struct kv_ops *kh_ops;   // copied from the ops table by kv_register
    uint8_t *kh_map;               // offset -> variable index, built by kv_register
    tailq_entry<kv_head> kh_link;  // registry list, newest first
};
static_assert(offsetof(struct kv_head, kh_type) == 64);
static_assert(offsetof(struct kv_head, kh_nvars) == 66);
static_assert(offsetof(struct kv_head, kh_counts) == 68);
static_assert(offsetof(struct kv_head, kh_size) == 72);

// kv value record: one variable's value.  This is a wire record (the body
// of control-socket responses), native byte order, 224 bytes.
//
// The value field at 200 holds, by value type: 1 the character in its first
// byte; 2 a u16; 3 a u32; 4 a u64; 5 the in-process address of a string
// copy; 6 the in-process address of the address array (the control socket
// sends 0 there instead).  Bytes 208-223 are
// written by the metrics only: for a u64 record the minimum at 208 and the
// maximum at 216; for the other types the value is a u32 at 200, the
// minimum a u32 at 204 and the maximum a u32 at 208.
struct kv_record {
    char kr_name[128];          // variable name, NUL-terminated
    char kr_head[KV_NAME_LEN];  // head name; kv_read_index and kv_record_init only
    uint16_t kr_type;           // the variable's type word
    uint16_t kr_valid;          // 1 once a metric update wrote value, min and max
    uint8_t kr_size;            // the variable's size byte
    uint8_t kr_pad[3];          // never written
    union {
        int8_t c;
        uint16_t u16;
        uint32_t u32;
        uint64_t u64;
        char *str;
        void *addrs;
    } kr_value;
    uint64_t kr_min;
    uint64_t kr_max;
};
static_assert(sizeof(struct kv_record) == 224, "kv value record is 224 bytes on the wire");
static_assert(offsetof(struct kv_record, kr_name) == 0);
static_assert(offsetof(struct kv_record, kr_head) == 128);
static_assert(offsetof(struct kv_record, kr_type) == 192);
static_assert(offsetof(struct kv_record, kr_valid) == 194);
static_assert(offsetof(struct kv_record, kr_size) == 196);
static_assert(offsetof(struct kv_record, kr_value) == 200);
static_assert(offsetof(struct kv_record, kr_min) == 208);
static_assert(offsetof(struct kv_record, kr_max) == 216);
inline constexpr size_t KV_RECORD_SIZE = sizeof(struct kv_record);

// Sample descriptor: a sampling schedule, looked up by ks_type.
struct kv_sample {
    uint8_t ks_type;     // 0..10
    uint8_t ks_samples;  // samples in a moving-average window
    uint8_t ks_reserved[2];
    uint32_t ks_interval;                       // microseconds of ticks between samples
    void (*ks_callback)(void *obj, void *arg);  // optional, at every sample
};
static_assert(offsetof(struct kv_sample, ks_interval) == 4);
static_assert(offsetof(struct kv_sample, ks_callback) == 8);

// Export function: (export state block, object, source kind).  Source kind
// 0 kvs, 1 kvm, 2 core event handler, 4 metadata store.
typedef void (*ke_fn_t)(void *state, void *obj, int source);

// Export descriptor, looked up by ke_type.  The link is used only in the
// copies that kv_get_export hands out, which each owner chains into its own
// tailq<kv_export, &kv_export::ke_link>.
struct kv_export {
    uint8_t ke_type;  // 0..4
    ke_fn_t ke_fn;
    tailq_entry<kv_export> ke_link;
};
typedef tailq<kv_export, &kv_export::ke_link> kv_export_list;

inline constexpr size_t KV_EXPORT_STATE_SIZE = 256;  // export state block in kvs/kvm objects

// Name tables for the agent's metric descriptions; index 0 is "".
extern const char *const kv_aggregation_names[7];
extern const char *const kv_rollup_names[4];
extern const char *const kv_grouping_names[3];

// Registration.  kv_register returns 0, or -1 when an allocation failed or
// the head is already registered; kv_unregister of a head that is not
// registered does nothing.
int kv_register(struct kv_head *kh);
void kv_unregister(struct kv_head *kh);
void kv_register_ops(uint8_t type, const struct kv_ops *ops);
void kv_unregister_ops(uint8_t type);
void kv_sample_register(struct kv_sample *ksa);
void kv_sample_unregister(struct kv_sample *ksa);
struct kv_sample *kv_get_sample(uint8_t type);
void kv_export_register(struct kv_export *kexp);
void kv_export_unregister(struct kv_export *kexp);
// A heap copy (nmem) of the registered export descriptor of this type, which
// the caller releases with nmem_free; null when none is registered.
struct kv_export *kv_get_export(uint8_t type);

// Zeroed array of count descriptors (nmem), or null.
struct kv_var *kv_var_array_alloc(uint8_t count);
void kv_var_array_free(struct kv_var *vars);

// The registered heads, newest first (for inspection).
struct kv_head *kv_head_first(void);
struct kv_head *kv_head_next(const struct kv_head *kh);

// One variable of the block at data into r: type word, size byte, name and
// value.  Safe against a concurrent writer of the block: aligned fields are
// read with single relaxed loads, so a value is never torn.
//
// A string variable is copied with the standard strdup: the copy belongs to
// whoever holds the record, who releases it with free() (kv_record_release
// does it for an array of records).  A string variable holding null leaves
// r's value as it was, so a caller that reuses records must clear the value
// first or it will read the old one.
void kv_read_data(const struct kv_var *kv, const void *data, struct kv_record *r);
// One variable from r into the block at data.  A string variable receives
// an n_strdup copy of r's string (null stays null) and its old string is
// released with nmem_free; when the copy cannot be made the variable keeps
// its old string.  Address lists cannot be written (stop).
void kv_write_data(const struct kv_var *kv, void *data, const struct kv_record *r);
int kv_read_index(const struct kv_head *kh, int i, const void *data, struct kv_record *r);
// r's value += variable i's value, at the variable's width, wrapping.
int kv_read_index_add(const struct kv_head *kh, int i, const void *data, struct kv_record *r);
void kv_record_init(const struct kv_head *kh, int i, struct kv_record *r);
// Releases the string copies that kv_read_data placed in n records and
// clears their value fields, so that a record is never released twice.
void kv_record_release(struct kv_record *r, size_t n);

// The text of r's value, the one per-type formatting of the kv modules, the
// control socket and its tool: type 1 the character (nothing for 0), 2 to 4
// unsigned decimal, 5 the string (nothing for null), 6 the addresses as
// comma-separated dotted quads (nothing for a null array), 0 and 7 to 15
// nothing.  A string is returned as it is, unbounded; any other text is
// written into buf, which holds the longest (16 addresses) whole.
inline constexpr size_t KV_VALUE_TEXT_SIZE = 16 * 16;
const char *kv_value_text(const struct kv_record *r, char (&buf)[KV_VALUE_TEXT_SIZE]);
// Copies text into dst (size bytes, at least 4), NUL-terminated.  Text that
// does not fit is cut and ends with KV_TEXT_CUT, so a reader sees that it
// was; the cut falls between two UTF-8 characters (or bytes that are not
// part of one), never inside a character.
#define KV_TEXT_CUT "..."
void kv_text_fit(char *dst, size_t size, const char *text);
// The UTF-8 character that s (n bytes, n >= 1) begins with: its length, or
// for bytes that are not a character minus the length of the ill-formed
// part that one U+FFFD replaces (a lead byte with the continuation bytes
// that may follow it, or one other byte).  Overlong forms, surrogates and
// code points above U+10FFFF are ill-formed.
int kv_utf8_len(const char *s, size_t n);

void kv_print_record(const struct kv_record *r, FILE *stream);
void kv_log_record(const struct kv_record *r);
void kv_log_records(int count, const struct kv_record *r);

void kv_mod_init(void *arg);

/*
 * Shared by the rollup and metrics modules.
 */

// Per-width access to a variable in a live data block, which the
// control-socket thread may read while the main poll thread writes it:
// aligned fields are loaded and stored whole.
template <class T>
inline T kv_load(const void *p) {
    static_assert(std::is_trivially_copyable_v<T>);
    if ((reinterpret_cast<uintptr_t>(p) & (sizeof(T) - 1)) == 0)
        return __atomic_load_n(static_cast<const T *>(p), __ATOMIC_RELAXED);
    T v;
    __builtin_memcpy(&v, p, sizeof(v));
    return v;
}

template <class T>
inline void kv_store(void *p, T v) {
    if ((reinterpret_cast<uintptr_t>(p) & (sizeof(T) - 1)) == 0) {
        __atomic_store_n(static_cast<T *>(p), v, __ATOMIC_RELAXED);
        return;
    }
    __builtin_memcpy(p, &v, sizeof(v));
}

// The variable's place in a data block.
inline const char *kv_field(const void *data, const struct kv_var *kv) {
    return static_cast<const char *>(data) + kv->kv_offset;
}
inline char *kv_field(void *data, const struct kv_var *kv) {
    return static_cast<char *>(data) + kv->kv_offset;
}

// The export state block's fourth pointer-sized word: a heap pointer (nmem)
// that a kvs or kvm releases when it is unregistered with exports attached.
inline constexpr size_t KV_EXPORT_STATE_HEAP = 3 * sizeof(void *);

// Releases an object's export copies and the heap pointer of its export
// state block, clearing both, so that a second release does nothing.
inline void kv_export_release(kv_export_list *exports, void *state) {
    while (struct kv_export *e = exports->first()) {
        exports->remove(e);
        nmem_free(e);
    }
    void *heap;
    char *slot = static_cast<char *>(state) + KV_EXPORT_STATE_HEAP;
    __builtin_memcpy(&heap, slot, sizeof(heap));
    if (heap != nullptr) nmem_free(heap);
    __builtin_memset(slot, 0, sizeof(heap));
}

// One step of a rollup at the variable's width: the child's value at src
// is added into the parent's at dst, wrapping.  With KVF_AVG a non-zero
// child value makes the parent the mean of the two, summed in a wider type
// first (40000 and 40000 average to 40000).  Strings cannot be rolled up
// (stop); types 0 and 6 to 15 are left alone.
template <class T, class Wide>
inline void kv_update_width(const struct kv_var *kv, void *dst, const void *src) {
    const T d = kv_load<T>(dst), s = kv_load<T>(src);
    T r = static_cast<T>(d + s);
    if (kv->kv_flags & KVF_AVG) {
        Wide sum = static_cast<Wide>(static_cast<Wide>(d) + static_cast<Wide>(s));
        if (sum != 0 && s != 0) r = static_cast<T>(sum >> 1);
    }
    kv_store<T>(dst, r);
}

[[noreturn]] inline void kv_update_string_stop(void) {
    tr_log(1, TR_ERROR, "[panic]: can't rollup string values");
    n_assert_fail("0", __FILE__, __LINE__, "kv_update");
}

inline void kv_update(const struct kv_var *kv, void *dst, const void *src) {
    switch (kv_value_type(kv->kv_type)) {
        case KV_T_CHAR:
            kv_update_width<int8_t, int>(kv, dst, src);
            break;
        case KV_T_U16:
            kv_update_width<uint16_t, uint32_t>(kv, dst, src);
            break;
        case KV_T_U32:
            kv_update_width<uint32_t, uint64_t>(kv, dst, src);
            break;
        case KV_T_U64:
            kv_update_width<uint64_t, unsigned __int128>(kv, dst, src);
            break;
        case KV_T_STRING:
            kv_update_string_stop();
        default:
            break;
    }
}
