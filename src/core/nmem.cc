// nmem: guarded heap objects, strings and fixed-size object pools.
//
// The allocator sits at the bottom of the runtime: it includes nothing above
// logging.  The statistics are published as "core.nmem.stats" by
// nmem_stats.cc, since kv and the control tree allocate through nmem.
//
// Heap objects and pools take no locks.  The statistics are relaxed atomic
// words: exact under one thread, whole (never torn) under several, so the
// control-socket thread can read them while the main thread counts.  The
// process-wide pool list has a mutex of its own, taken only when a pool is
// created or destroyed, never on allocation or free.
#include "core/nmem.h"

#include <malloc.h>
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/logging.h"
#include "core/nassert.h"
#include "core/ncounter.h"

struct nmem_stats nmem_stats;

void *nmem_alloc_failed(void) {
    n_counter_inc(nmem_stats.ns_alloc_errors);
    return nullptr;
}

// The guard checks of a free, in their order: the free mark in either guard
// is a second free; anything but the live mark in both is damage.  t is the
// trailer's place, or null when the object's size field cannot be trusted to
// find it (the object then counts as damaged).
// The checks on the marks read: head guard hg, trailer guard tg (null when
// unknown); size is the size the report shows.
static bool nmem_check_marks(struct nmem_hdr *h, uint16_t hg, const uint16_t *tg, uint32_t size) {
    if (hg == NMEM_FREE || (tg != nullptr && *tg == NMEM_FREE)) {
        n_counter_inc(nmem_stats.ns_dupfrees);
        tr_log(1, TR_WARN, "nmem_duplicatefree: duplicate free obj %p size %d",
               static_cast<void *>(h), static_cast<int>(size));
        return false;
    }
    if (hg != NMEM_LIVE || tg == nullptr || *tg != NMEM_LIVE) {
        n_counter_inc(nmem_stats.ns_overwritten);
        tr_log(1, TR_WARN, "nmem_overwritten: alloced memory object overwritten obj %p size %d",
               static_cast<void *>(h), static_cast<int>(size));
        return false;
    }
    return true;
}

static bool nmem_check_guards(struct nmem_hdr *h, const char *t) {
    uint16_t tg = 0;
    if (t != nullptr) memcpy(&tg, t, sizeof(tg));
    return nmem_check_marks(h, h->nh_guard, t != nullptr ? &tg : nullptr, h->nh_size);
}

bool nmem_check_free(struct nmem_hdr *h) {
    // A second free is told by its head guard alone, without a look at the
    // block, which is no longer the caller's.
    if (h->nh_guard == NMEM_FREE) return nmem_check_guards(h, nullptr);
    // The trailer is looked for where the size field puts it as long as that
    // is inside the block: a size field written over must not send the
    // check outside it.
    char *block = reinterpret_cast<char *>(h) - NMEM_HEAP_PAD;
    uint64_t end = NMEM_HEAP_PAD + sizeof(*h) + uint64_t{h->nh_size} + sizeof(uint16_t);
    const char *t = end <= malloc_usable_size(block)
                        ? reinterpret_cast<const char *>(h) + sizeof(*h) + h->nh_size
                        : nullptr;
    return nmem_check_guards(h, t);
}

void nmem_free_damaged(struct nmem_hdr *h) {
    // The stop names nmem_free, where the damage was found.
    if (!nmem_check_free(h)) n_assert_fail("nmem_check_free(h)", __FILE__, __LINE__, "nmem_free");
    // The inline check saw damage that this one does not.
    N_ASSERT(0, "object guards left alone while nmem_free checks them");
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

/*
 * Object pools.
 */

// A heap object whose data reads as zeroes without having been written: the
// system heap hands a large block over as fresh pages, which cost memory
// only once touched.
static void *nmem_alloc_untouched(uint32_t size) {
    char *block = static_cast<char *>(calloc(1, uint64_t{size} + NMEM_OVERHEAD + NMEM_HEAP_PAD));
    if (block == nullptr) return nmem_alloc_failed();
    return nmem_obj_init(block, size);
}

static tailq<nmem_pool, &nmem_pool::np_link> nmem_pools = TAILQ_HEAD_INITIALIZER(nmem_pools);
static pthread_mutex_t nmem_pools_lock = PTHREAD_MUTEX_INITIALIZER;

// Pool objects keep the alignment of heap objects' data.
static constexpr uint32_t NMEM_POOL_ALIGN = 8;

struct nmem_pool *nmem_pool_create(const char *name, int count, uint32_t size, int flags) {
    if (size < 8) {
        tr_log(1, TR_ERROR, "nmem_pool_create: error min size %d required", 8);
        return nullptr;
    }
    auto *np = static_cast<struct nmem_pool *>(nmem_alloc(sizeof(struct nmem_pool), 0));
    if (np == nullptr) {
        tr_log(1, TR_ERROR, "nmem_pool_create: pool desc alloc failed");
        return nullptr;
    }
    // Stride and block size in 64 bits: a product that does not fit the
    // 32-bit total (or a negative count) must not wrap into a block too
    // small for the objects about to be laid out in it.
    uint64_t stride =
        (uint64_t{size} + NMEM_OVERHEAD + NMEM_POOL_ALIGN - 1) & ~uint64_t{NMEM_POOL_ALIGN - 1};
    uint64_t total = count >= 0 ? stride * uint64_t(count) : UINT64_MAX;
    char *items =
        total <= UINT32_MAX ? static_cast<char *>(nmem_alloc_untouched(uint32_t(total))) : nullptr;
    if (items == nullptr) {
        tr_log(1, TR_ERROR, "nmem_pool_create: pool items alloc failed");
        nmem_free(np);
        return nullptr;
    }
    np->np_name = name;
    np->np_items = items;
    np->np_flags = uint8_t(flags);
    np->np_size = size;
    np->np_max = np->np_avail = uint32_t(count);
    np->np_total = uint32_t(total);
    np->np_alloc_failures = 0;
    np->np_free = nullptr;
    np->np_stride = uint32_t(stride);
    np->np_last = count > 0 ? uint32_t(stride * uint64_t(count - 1)) : 0;
    np->np_link = {nullptr, nullptr};
    np->np_untouched = uint32_t(total);
    pthread_mutex_lock(&nmem_pools_lock);
    nmem_pools.insert_head(np);
    pthread_mutex_unlock(&nmem_pools_lock);
    n_counter_inc(nmem_stats.ns_pools);
    tr_log(1, TR_INFO, "nmem_pool_create: memory pool created for %s of %d objects", name, count);
    return np;
}

// size: what the object's size field says, or would say had it been
// written when the pool was created.
[[noreturn]] static void nmem_pool_alloc_stop(struct nmem_hdr *h, uint32_t size) {
    n_counter_inc(nmem_stats.ns_overwritten);
    tr_log(1, TR_WARN, "nmem_overwritten: freed memory object overwritten obj %p size %d",
           static_cast<void *>(h), static_cast<int>(size));
    // The stop names nmem_pool_alloc, where the damage was found.
    n_assert_fail("free pool object left alone since its free", __FILE__, __LINE__,
                  "nmem_pool_alloc");
}

void nmem_pool_alloc_damaged(const struct nmem_pool *, struct nmem_hdr *h) {
    nmem_pool_alloc_stop(h, h->nh_size);
}

// The size an untouched object's report shows: its size field, had it been
// written at creation, held the pool's size unless something wrote over it.
static uint32_t nmem_untouched_size(const struct nmem_pool *np, const struct nmem_hdr *h) {
    return h->nh_size != 0 ? h->nh_size : np->np_size;
}

// Is h an object never handed out whose guards still read as zeroes (its
// free marks, had they been written at creation)?
static bool nmem_pool_untouched(const struct nmem_pool *np, struct nmem_hdr *h) {
    const uintptr_t off =
        reinterpret_cast<uintptr_t>(h) - reinterpret_cast<uintptr_t>(np->np_items);
    if (off >= np->np_untouched || off % np->np_stride != 0) return false;
    uint16_t trailer;
    memcpy(&trailer, nmem_pool_trailer_of(h, np->np_size), sizeof(trailer));
    return h->nh_guard == 0 && trailer == 0;
}

void *nmem_pool_alloc_untouched(struct nmem_pool *np) {
    if (np->np_avail == 0 || np->np_free != nullptr || np->np_untouched == 0) {
        np->np_alloc_failures++;
        return nullptr;
    }
    auto *h = reinterpret_cast<struct nmem_hdr *>(np->np_items + np->np_untouched - np->np_stride);
    // Never handed out: its header, link and trailer still read as the
    // block's zeroes, or something wrote into the pool from outside.
    uint64_t hdr, link;
    uint16_t trailer;
    memcpy(&hdr, h, sizeof(hdr));
    memcpy(&link, nmem_data_of(h), sizeof(link));
    memcpy(&trailer, nmem_pool_trailer_of(h, np->np_size), sizeof(trailer));
    if (hdr != 0 || link != 0 || trailer != 0) nmem_pool_alloc_stop(h, nmem_untouched_size(np, h));
    np->np_untouched -= np->np_stride;
    np->np_avail--;
    if (np->np_flags & NMEM_ZERO) memset(nmem_data_of(h), 0, np->np_size);
    h->nh_size = np->np_size;
    h->nh_guard = NMEM_LIVE;
    nmem_trailer_set(h, NMEM_LIVE);
    n_counter_inc(nmem_stats.ns_pool_allocs);
    return nmem_data_of(h);
}

// The checks in the order of their report: the object's guards first, then
// the pool.
void nmem_pool_free_refused(const struct nmem_pool *np, struct nmem_hdr *h) {
    // An object never handed out is free: its free is a second one.
    if (np != nullptr && nmem_pool_untouched(np, h)) {
        const uint16_t mark = NMEM_FREE;
        nmem_check_marks(h, NMEM_FREE, &mark, nmem_untouched_size(np, h));
        n_assert_fail("nmem_check_free(h)", __FILE__, __LINE__, "nmem_pool_free");
    }
    // While the head guard holds a mark the size field next to it is the
    // object's own (an object of another pool has its own size there);
    // otherwise the trailer is where the pool's object size puts it.
    const bool marked = h->nh_guard == NMEM_LIVE || h->nh_guard == NMEM_FREE;
    const char *t = nullptr;
    if (marked || np != nullptr)
        t = reinterpret_cast<const char *>(nmem_data_of(h)) + (marked ? h->nh_size : np->np_size);
    if (!nmem_check_guards(h, t))
        n_assert_fail("nmem_check_free(h)", __FILE__, __LINE__, "nmem_pool_free");
    if (np == nullptr) n_assert_fail("np != ((void *)0)", __FILE__, __LINE__, "nmem_pool_free");
    if (np->np_avail >= np->np_max)
        n_assert_fail("np->np_avail < np->np_max", __FILE__, __LINE__, "nmem_pool_free");
    // An object of another size would later be handed out as one of this
    // pool's and written past its end.
    if (h->nh_size != np->np_size)
        n_assert_fail("h->nh_size == np->np_size", __FILE__, __LINE__, "nmem_pool_free");
    // The inline check saw a fault that these do not.
    N_ASSERT(0, "object and pool left alone while nmem_pool_free checks them");
}

void nmem_pool_destroy(struct nmem_pool *np) {
    N_ASSERT(np != ((void *)0));
    if (np->np_avail < np->np_max) {
        tr_log(1, TR_ERROR, "nmem_pool_destroy: some objs are allocated pool %p avail %d max %d",
               static_cast<void *>(np), int(np->np_avail), int(np->np_max));
        N_ASSERT(0, "every pool object freed before the pool is destroyed");
    }
    nmem_free(np->np_items);
    pthread_mutex_lock(&nmem_pools_lock);
    nmem_pools.remove(np);
    pthread_mutex_unlock(&nmem_pools_lock);
    nmem_free(np);
    n_counter_dec(nmem_stats.ns_pools);
}

struct nmem_pool *nmem_pool_first(void) {
    return nmem_pools.first();
}
struct nmem_pool *nmem_pool_next(const struct nmem_pool *np) {
    return nmem_pools.next(np);
}
