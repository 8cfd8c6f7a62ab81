#include "support/fail_alloc.h"

#include <errno.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
void *__real_malloc(size_t);
void *__real_calloc(size_t, size_t);
void *__real_realloc(void *, size_t);
char *__real_strdup(const char *);
char *__real_strndup(const char *, size_t);
}

namespace {
// Initial-exec TLS: reading it never allocates, even inside malloc.
__attribute__((tls_model("initial-exec"))) thread_local long countdown;
__attribute__((tls_model("initial-exec"))) thread_local bool sticky;  // from the n-th on

// True when this call is the one armed to fail.
bool should_fail() {
    if (countdown > 0 && --countdown == 0) {
        if (sticky) countdown = 1;
        errno = ENOMEM;
        return true;
    }
    return false;
}
}  // namespace

namespace qt {
void fail_alloc_nth(long n) {
    countdown = n;
    sticky = false;
}
void fail_alloc_from(long n) {
    countdown = n;
    sticky = n > 0;
}
bool fail_alloc_pending() { return countdown > 0; }
}  // namespace qt

extern "C" {
void *__wrap_malloc(size_t n) { return should_fail() ? nullptr : __real_malloc(n); }
void *__wrap_calloc(size_t a, size_t b) { return should_fail() ? nullptr : __real_calloc(a, b); }
void *__wrap_realloc(void *p, size_t n) { return should_fail() ? nullptr : __real_realloc(p, n); }
char *__wrap_strdup(const char *s) { return should_fail() ? nullptr : __real_strdup(s); }
char *__wrap_strndup(const char *s, size_t n) {
    return should_fail() ? nullptr : __real_strndup(s, n);
}
int __wrap_asprintf(char **out, const char *fmt, ...) {
    if (should_fail()) return -1;
    va_list ap;
    va_start(ap, fmt);
    int r = vasprintf(out, fmt, ap);
    va_end(ap);
    return r;
}
}
