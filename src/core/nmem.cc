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

void *nmem_alloc_failed(void) {
    n_counter_inc(nmem_stats.ns_alloc_errors);
    return nullptr;
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

void nmem_free_damaged(struct nmem_hdr *h) {
    // The stop names nmem_free, where the damage was found.
    if (!nmem_check_free(h)) n_assert_fail("nmem_check_free(h)", __FILE__, __LINE__, "nmem_free");
    // Only a guard check that disagrees with the inline one gets here.
    N_ASSERT(0);
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
