// nmem: guarded heap objects and the strings built on them.
//
// Every object carries an 8-byte header and a 2-byte trailer around the
// caller's data:
//
//   offset 0        u32  data size as requested
//   offset 4        2 bytes, not written by nmem
//   offset 6        u16  head guard
//   offset 8        size bytes of data (the pointer the caller gets)
//   offset 8+size   u16  trailer guard, at whatever alignment falls there
//
// Both guards hold NMEM_LIVE while the object is allocated and NMEM_FREE
// while it is free.  nmem_free checks them: a free mark means a second free,
// anything else a write past either end.  Both end the process.
//
// Heap objects may be allocated and freed on any thread, without a lock;
// the statistics are relaxed atomic words.  A pool is used by one thread at
// a time; the process-wide pool list has a mutex, taken only when a pool is
// created or destroyed.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/ncounter.h"
#include "core/queue.h"

#define NMEM_ZERO 1  // zero the data on allocation

inline constexpr uint16_t NMEM_LIVE = 0xA5A5;
inline constexpr uint16_t NMEM_FREE = 0xDEAD;

struct nmem_hdr {
    uint32_t nh_size;
    uint8_t nh_unused[2];
    uint16_t nh_guard;
};
static_assert(sizeof(struct nmem_hdr) == 8, "object header is 8 bytes");
static_assert(offsetof(struct nmem_hdr, nh_size) == 0, "size at offset 0");
static_assert(offsetof(struct nmem_hdr, nh_guard) == 6, "head guard at offset 6");

inline constexpr size_t NMEM_OVERHEAD = sizeof(struct nmem_hdr) + sizeof(uint16_t);
static_assert(NMEM_OVERHEAD == 10, "an object costs its size plus 10 bytes");

// Process-wide statistics, in this order (published as "nmemstats").
struct nmem_stats {
    uint64_t ns_pools;
    uint64_t ns_allocs;
    uint64_t ns_frees;
    uint64_t ns_alloced_objs;
    uint64_t ns_pool_allocs;
    uint64_t ns_pool_frees;  // kept but not exported
    uint64_t ns_alloc_errors;
    uint64_t ns_dupfrees;
    uint64_t ns_overwritten;
};
static_assert(sizeof(struct nmem_stats) == 72, "nine 64-bit counters");
static_assert(offsetof(struct nmem_stats, ns_pool_frees) == 40);
static_assert(offsetof(struct nmem_stats, ns_overwritten) == 64);

extern struct nmem_stats nmem_stats;

char *n_strdup(const char *s);
int n_asprintf(char **out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int n_vasprintf(char **out, const char *fmt, va_list ap) __attribute__((format(printf, 2, 0)));

// Object-layout helpers shared with the pools.
inline struct nmem_hdr *nmem_hdr_of(void *p) {
    return reinterpret_cast<struct nmem_hdr *>(static_cast<char *>(p) - sizeof(struct nmem_hdr));
}
inline void *nmem_data_of(struct nmem_hdr *h) {
    return reinterpret_cast<char *>(h) + sizeof(*h);
}
// The trailer is read and written byte-wise: it sits at any alignment.
inline uint16_t nmem_trailer_get(const struct nmem_hdr *h) {
    uint16_t v;
    __builtin_memcpy(&v, reinterpret_cast<const char *>(h) + sizeof(*h) + h->nh_size, sizeof(v));
    return v;
}
inline void nmem_trailer_set(struct nmem_hdr *h, uint16_t v) {
    __builtin_memcpy(reinterpret_cast<char *>(h) + sizeof(*h) + h->nh_size, &v, sizeof(v));
}
// Heap objects sit this far into their malloc block.  The allocator keeps its
// free-list links in the first 16 bytes of a freed block; with the object
// header beyond them, a freed object keeps its header and its free marks, so
// a second nmem_free of the same object is recognised as such instead of
// reading the allocator's pointers as a size.
inline constexpr size_t NMEM_HEAP_PAD = 16;

// Out-of-line ends of the two calls below.
void *nmem_alloc_failed(void);
[[noreturn]] void nmem_free_damaged(struct nmem_hdr *h);

// The object of size data bytes in a fresh block of the system heap: header,
// guards, counters.
inline void *nmem_obj_init(char *block, uint32_t size) {
    auto *h = reinterpret_cast<struct nmem_hdr *>(block + NMEM_HEAP_PAD);
    h->nh_size = size;
    h->nh_guard = NMEM_LIVE;
    nmem_trailer_set(h, NMEM_LIVE);
    n_counter_inc(nmem_stats.ns_allocs);
    n_counter_inc(nmem_stats.ns_alloced_objs);
    return nmem_data_of(h);
}

// Guarded heap allocation of size data bytes; NMEM_ZERO in flags zeroes
// them.  Returns the data pointer, or null (counted, not logged).  Inline:
// an allocation costs the allocator's call and a few stores, no more.
inline void *nmem_alloc(uint32_t size, int flags) {
    char *block = static_cast<char *>(malloc(uint64_t{size} + NMEM_OVERHEAD + NMEM_HEAP_PAD));
    if (__builtin_expect(block == nullptr, 0)) return nmem_alloc_failed();
    if (flags & NMEM_ZERO) memset(block + NMEM_HEAP_PAD + sizeof(struct nmem_hdr), 0, size);
    return nmem_obj_init(block, size);
}

// Frees an object of nmem_alloc, n_strdup or n_asprintf.  Never null, never
// a pool object.  A second free or a damaged guard stops the process.
inline void nmem_free(void *p) {
    struct nmem_hdr *h = nmem_hdr_of(p);
    if (__builtin_expect(h->nh_guard != NMEM_LIVE || nmem_trailer_get(h) != NMEM_LIVE, 0))
        nmem_free_damaged(h);
    n_counter_dec(nmem_stats.ns_alloced_objs);
    n_counter_inc(nmem_stats.ns_frees);
    // Marked free before it goes back, so that a stale second free is caught.
    h->nh_guard = NMEM_FREE;
    nmem_trailer_set(h, NMEM_FREE);
    free(reinterpret_cast<char *>(h) - NMEM_HEAP_PAD);
}

// Guard checks of a heap object being freed.  A duplicate free or a damaged
// object is counted and its warning logged, and the result is false: the
// caller then stops the process, so that the stop names the caller.  The
// trailer is read only where a size field inside the block puts it.
bool nmem_check_free(struct nmem_hdr *h);

// Fixed-size object pools.
//
// A pool holds count objects of one size in one guarded heap block (the
// items block), each with the object layout above, laid out back to back
// at a stride of size + 10 rounded up to 8 bytes, so that every object's
// header and data are 8-byte aligned like a heap object's.  The block is
// reserved whole at creation but written only as objects are first handed
// out: it comes from the heap zeroed and untouched, so objects never used
// cost address space, not memory.  Objects are handed out from the highest
// address down; a freed object goes on the free list, which is used before
// the untouched part and hands out the last freed object first.  Free
// objects carry NMEM_FREE in both guards and the free-list link in their
// first 8 data bytes; an untouched object still holds the block's zeroes in
// its header, link and trailer.  Guards are checked when an object is freed
// and again when it is handed out (an untouched one's zeroes likewise), so
// damage done to a free object is caught too; either stops the process.
// After creation a pool never calls the system heap.  Pools take no locks:
// one thread at a time per pool.
struct nmem_pool {
    const char *np_name;             // the caller's string, kept by pointer
    char *np_items;                  // one heap object holding every pool object
    uint8_t np_flags;                // NMEM_ZERO or 0
    uint32_t np_size;                // object data size
    uint32_t np_max;                 // number of objects
    uint32_t np_avail;               // free objects
    uint32_t np_total;               // bytes of the items block
    uint32_t np_alloc_failures;      // allocations refused for want of a free object
    struct nmem_hdr *np_free;        // first free object, or null
    uint32_t np_stride;              // bytes from one object header to the next
    uint32_t np_last;                // offset of the last object's header in the block
    tailq_entry<nmem_pool> np_link;  // process-wide pool list, newest first
    uint32_t np_untouched;           // bytes at the block's start never handed out
};

// A pool of count objects of size bytes (at least 8); null when size is too
// small, count is negative, the items block would not fit 32 bits, or
// memory ran out (each logged).
struct nmem_pool *nmem_pool_create(const char *name, int count, uint32_t size, int flags);
// Releases a pool whose objects are all free; otherwise stops the process.
void nmem_pool_destroy(struct nmem_pool *np);

// The process-wide pool list, newest first (for inspection).
struct nmem_pool *nmem_pool_first(void);
struct nmem_pool *nmem_pool_next(const struct nmem_pool *np);

// Out-of-line ends of the two calls below.  The first hands out the
// highest untouched object, or counts a refusal and returns null; the
// others report the damage or misuse and stop the process in the name of
// the caller.
void *nmem_pool_alloc_untouched(struct nmem_pool *np);
[[noreturn]] void nmem_pool_alloc_damaged(const struct nmem_pool *np, struct nmem_hdr *h);
[[noreturn]] void nmem_pool_free_refused(const struct nmem_pool *np, struct nmem_hdr *h);

// The free-list link lives in the first 8 data bytes of a free object.  The
// link and the trailer are reached through types of their own (not bytes),
// so the compiler knows a write to them leaves the pool descriptor alone and
// can keep the list head in a register from a free to the next allocation.
struct nmem_pool_link {
    struct nmem_hdr *pl_next;
} __attribute__((packed));
struct nmem_pool_trailer {
    uint16_t pt_guard;
} __attribute__((packed));
inline struct nmem_pool_link *nmem_pool_link_of(struct nmem_hdr *h) {
    return static_cast<struct nmem_pool_link *>(nmem_data_of(h));
}
inline struct nmem_pool_trailer *nmem_pool_trailer_of(struct nmem_hdr *h, uint32_t size) {
    return reinterpret_cast<struct nmem_pool_trailer *>(static_cast<char *>(nmem_data_of(h)) +
                                                        size);
}
inline struct nmem_hdr *nmem_pool_link_get(struct nmem_hdr *h) {
    return nmem_pool_link_of(h)->pl_next;
}
inline void nmem_pool_link_set(struct nmem_hdr *h, struct nmem_hdr *next) {
    nmem_pool_link_of(h)->pl_next = next;
}

// An object's data pointer, or null when the pool is empty (counted in the
// pool's np_alloc_failures) or null.  The object's guards and size are
// checked before its size is used to find the trailer, and its free-list
// link before the link becomes the list head: a free object whose data was
// written over must not send a later allocation outside the handed-out
// part of the items block.  Inline: an allocation from the free list is a
// handful of loads and stores.
inline void *nmem_pool_alloc(struct nmem_pool *np) {
    if (__builtin_expect(np == nullptr, 0)) return nullptr;
    struct nmem_hdr *h = np->np_free;
    if (__builtin_expect(np->np_avail == 0 || h == nullptr, 0))
        return nmem_pool_alloc_untouched(np);
    // The trailer is found from the pool's size, checked equal to the
    // object's own, so its address does not wait for the size to be read.
    struct nmem_pool_trailer *t = nmem_pool_trailer_of(h, np->np_size);
    if (__builtin_expect(h->nh_guard != NMEM_FREE || h->nh_size != np->np_size ||
                             t->pt_guard != NMEM_FREE,
                         0))
        nmem_pool_alloc_damaged(np, h);
    struct nmem_hdr *next = nmem_pool_link_get(h);
    // A link is null or the 8-byte aligned header of an object handed out
    // before (never one of the untouched part, which would be handed out
    // twice).
    uintptr_t off = reinterpret_cast<uintptr_t>(next) - reinterpret_cast<uintptr_t>(np->np_items);
    if (__builtin_expect(
            next != nullptr && (off > np->np_last || off < np->np_untouched || (off & 7) != 0), 0))
        nmem_pool_alloc_damaged(np, h);
    np->np_free = next;
    np->np_avail--;
    if (np->np_flags & NMEM_ZERO) memset(nmem_data_of(h), 0, np->np_size);
    h->nh_guard = NMEM_LIVE;
    t->pt_guard = NMEM_LIVE;
    n_counter_inc(nmem_stats.ns_pool_allocs);
    return nmem_data_of(h);
}

// Returns p to the pool it came from (the pool does not check that it owns
// p).  A second free, damaged guards, a full pool, a null pool and an
// object of another size stop the process.
inline void nmem_pool_free(struct nmem_pool *np, void *p) {
    struct nmem_hdr *h = nmem_hdr_of(p);
    // The trailer is found from the pool's size, never from a size field
    // that may have been written over; the report comes in its own order.
    if (__builtin_expect(np == nullptr || h->nh_guard != NMEM_LIVE || h->nh_size != np->np_size ||
                             nmem_pool_trailer_of(h, np->np_size)->pt_guard != NMEM_LIVE ||
                             np->np_avail >= np->np_max,
                         0))
        nmem_pool_free_refused(np, h);
    // The counter first: its atomic store would otherwise stand between this
    // free's list head and the next allocation's.
    n_counter_inc(nmem_stats.ns_pool_frees);
    h->nh_guard = NMEM_FREE;
    nmem_pool_trailer_of(h, np->np_size)->pt_guard = NMEM_FREE;
    nmem_pool_link_set(h, np->np_free);
    np->np_free = h;
    np->np_avail++;
}

// Start-up step of "nmem_mod": publishes the statistics as "core.nmem.stats".
// Defined in nmem_stats.cc, above kv and the control tree; the allocator
// itself depends on neither.
void nmem_mod_init(void *arg);
