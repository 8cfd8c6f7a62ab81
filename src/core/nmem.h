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
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

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

// Guarded heap allocation of size data bytes; NMEM_ZERO in flags zeroes
// them.  Returns the data pointer, or null (counted, not logged).
void *nmem_alloc(uint32_t size, int flags);
// Frees an object of nmem_alloc, n_strdup or n_asprintf.  Never null, never
// a pool object.
void nmem_free(void *p);

char *n_strdup(const char *s);
int n_asprintf(char **out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int n_vasprintf(char **out, const char *fmt, va_list ap) __attribute__((format(printf, 2, 0)));

// Object-layout helpers shared with the pools.
inline struct nmem_hdr *nmem_hdr_of(void *p) {
    return reinterpret_cast<struct nmem_hdr *>(static_cast<char *>(p) - sizeof(struct nmem_hdr));
}
inline void *nmem_data_of(struct nmem_hdr *h) { return reinterpret_cast<char *>(h) + sizeof(*h); }
uint16_t nmem_trailer_get(const struct nmem_hdr *h);
void nmem_trailer_set(struct nmem_hdr *h, uint16_t v);
// Guard checks of an object being freed.  A duplicate free or a damaged
// object is counted and its warning logged, and the result is false: the
// caller then stops the process, so that the stop names the caller.
bool nmem_check_free(struct nmem_hdr *h);
