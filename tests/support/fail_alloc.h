// Allocation-failure injection for test programs named *_allocfail_test.cc.
//
// Those programs are linked with --wrap for malloc, calloc, realloc, strdup,
// strndup and asprintf, so every call the program's own objects (the core
// library included) make to them passes through here.  Calls made inside the
// C library (fopen's buffer, for example) are not affected.  Injection is
// per thread, so the test framework's other threads are never disturbed.
#pragma once

#include <cstddef>

namespace qt {

// The n-th allocation call from now on this thread fails (n = 1: the next
// one); n = 0 disarms.  Returns nothing; see fail_alloc_pending().
void fail_alloc_nth(long n);
// The n-th allocation call from now on and every later one on this thread
// fail, until fail_alloc_nth(0): for paths whose recovery allocates too.
void fail_alloc_from(long n);
// True while an armed failure has not happened yet.
bool fail_alloc_pending();

// Arms a failure for the scope of one statement block.
class FailAlloc {
public:
    explicit FailAlloc(long nth) { fail_alloc_nth(nth); }
    ~FailAlloc() { fail_alloc_nth(0); }
    FailAlloc(const FailAlloc &) = delete;
    FailAlloc &operator=(const FailAlloc &) = delete;
};

}  // namespace qt
