// nmem: guarded heap objects and strings.
//
// nmem takes no locks.  The statistics are relaxed atomic words: exact under
// one thread, whole (never torn) under several.
#include "core/nmem.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/logging.h"
#include "core/nassert.h"
#include "core/ncounter.h"

struct nmem_stats nmem_stats;

// Heap objects sit this far into their malloc block.  The allocator keeps its
// free-list links in the first 16 bytes of a freed block; with the object
// header beyond them, a freed object keeps its header and its free marks, so
// a second nmem_free of the same object is recognised as such instead of
// reading the allocator's pointers as a size.
static constexpr size_t NMEM_HEAP_PAD = 16;

uint16_t nmem_trailer_get(const struct nmem_hdr *h) {
    uint16_t v;
    memcpy(&v, reinterpret_cast<const char *>(h) + sizeof(*h) + h->nh_size, sizeof(v));
    return v;
}

void nmem_trailer_set(struct nmem_hdr *h, uint16_t v) {
    memcpy(reinterpret_cast<char *>(h) + sizeof(*h) + h->nh_size, &v, sizeof(v));
}

void *nmem_alloc(uint32_t size, int flags) {
    char *block = static_cast<char *>(malloc(uint64_t{size} + NMEM_OVERHEAD + NMEM_HEAP_PAD));
    if (block == nullptr) {
        n_counter_inc(nmem_stats.ns_alloc_errors);
        return nullptr;
    }
    auto *h = reinterpret_cast<struct nmem_hdr *>(block + NMEM_HEAP_PAD);
    if (flags & NMEM_ZERO) memset(nmem_data_of(h), 0, size);
    h->nh_size = size;
    h->nh_guard = NMEM_LIVE;
    nmem_trailer_set(h, NMEM_LIVE);
    n_counter_inc(nmem_stats.ns_allocs);
    n_counter_inc(nmem_stats.ns_alloced_objs);
    return nmem_data_of(h);
}

bool nmem_check_free(struct nmem_hdr *h) {
    // The head guard is read first: while it holds a mark the size field in
    // front of it is the object's own, so the trailer is found where it was
    // written.
    if (h->nh_guard == NMEM_FREE ||
        (h->nh_guard == NMEM_LIVE && nmem_trailer_get(h) == NMEM_FREE)) {
        n_counter_inc(nmem_stats.ns_dupfrees);
        tr_log(1, TR_WARN, "nmem_duplicatefree: duplicate free obj %p size %d", static_cast<void *>(h),
               static_cast<int>(h->nh_size));
        return false;
    }
    if (h->nh_guard != NMEM_LIVE || nmem_trailer_get(h) != NMEM_LIVE) {
        n_counter_inc(nmem_stats.ns_overwritten);
        tr_log(1, TR_WARN, "nmem_overwritten: alloced memory object overwritten obj %p size %d",
               static_cast<void *>(h), static_cast<int>(h->nh_size));
        return false;
    }
    return true;
}

void nmem_free(void *p) {
    struct nmem_hdr *h = nmem_hdr_of(p);
    N_ASSERT(nmem_check_free(h));
    n_counter_dec(nmem_stats.ns_alloced_objs);
    n_counter_inc(nmem_stats.ns_frees);
    // Marked free before it goes back, so that a stale second free is caught.
    h->nh_guard = NMEM_FREE;
    nmem_trailer_set(h, NMEM_FREE);
    free(reinterpret_cast<char *>(h) - NMEM_HEAP_PAD);
}

char *n_strdup(const char *s) {
    size_t n = strlen(s) + 1;
    auto *q = static_cast<char *>(nmem_alloc(static_cast<uint32_t>(n), 0));
    if (q == nullptr) {
        tr_log(1, TR_ERROR, "n_strdup: str '%s' alloc failed", s);
        return nullptr;
    }
    memcpy(q, s, n);
    return q;
}

int n_vasprintf(char **out, const char *fmt, va_list ap) {
    va_list cp;
    va_copy(cp, ap);
    int n = vsnprintf(nullptr, 0, fmt, cp);
    va_end(cp);
    if (n < 0) return -1;
    *out = static_cast<char *>(nmem_alloc(static_cast<uint32_t>(n) + 1, 0));
    if (*out == nullptr) {
        tr_log(1, TR_ERROR, "n_asprintf: alloc failed");
        return -1;
    }
    return vsnprintf(*out, static_cast<size_t>(n) + 1, fmt, ap);
}

int n_asprintf(char **out, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = n_vasprintf(out, fmt, ap);
    va_end(ap);
    return n;
}
