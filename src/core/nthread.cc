// nthread: the thread registry.
//
// nthread_lock guards nthread_nregistered and nthread_table.  It is held
// while nthread_start_all creates the threads, so a new thread that calls
// into the registry waits until all have been created.
#include "core/nthread.h"

#include "core/logging.h"
#include "core/nassert.h"
#include "core/nthread_unix.h"

// The lock is initialised on first use.  A zero-filled spin lock is not
// an unlocked one everywhere (on x86-64 glibc it reads as taken), and the
// registry may be used before any initialiser of this file has run.
static pthread_spinlock_t *nthread_lock(void) {
    static pthread_spinlock_t lock = [] {
        pthread_spinlock_t l;
        pthread_spin_init(&l, PTHREAD_PROCESS_PRIVATE);
        return l;
    }();
    return &lock;
}
static int nthread_nregistered;
static struct nthread *nthread_table[NTHREAD_MAX];
static thread_local struct nthread *nthread_self;

namespace {
struct nthread_guard {
    nthread_guard() { pthread_spin_lock(nthread_lock()); }
    ~nthread_guard() { pthread_spin_unlock(nthread_lock()); }
    nthread_guard(const nthread_guard &) = delete;
    nthread_guard &operator=(const nthread_guard &) = delete;
};
}  // namespace

struct nthread *nthread_current(void) {
    return nthread_self;
}

int nthread_count(void) {
    nthread_guard g;
    return nthread_nregistered;
}

// Lowest free slot.  Called with nthread_lock held.
static int nthread_getid_locked(void) {
    for (int i = 0; i < NTHREAD_MAX; i++)
        if (nthread_table[i] == nullptr) return i;
    tr_log(1, TR_ERROR, "nthread_get_tid: error max threads created");
    N_ASSERT(0, "nthread_getid_locked: no free slot");
    return -1;
}

int nthread_register(struct nthread *nt, nthread_fn func, void *arg) {
    N_ASSERT(nt != ((void *)0));
    nt->nt_arg = arg;
    nt->nt_func = func;
    N_ASSERT(nt->nt_func != ((void *)0));

    nthread_guard g;
    if (nthread_nregistered > NTHREAD_MAX - 1) {
        tr_log(1, TR_ERROR, "nthread_register: max # of threads reached");
        N_ASSERT(nthread_nregistered < NTHREAD_MAX);
    }
    int id = nthread_getid_locked();
    nt->nt_tid = static_cast<uint16_t>(id);
    nthread_table[id] = nt;
    nthread_nregistered++;
    return 0;
}

void nthread_deregister(struct nthread *nt) {
    nthread_guard g;
    // Only the record that holds the slot frees it: a second deregistration,
    // or one of a record never registered, would otherwise free a slot that
    // another record holds and miscount the registry.
    if (nt->nt_tid >= NTHREAD_MAX || nthread_table[nt->nt_tid] != nt) return;
    nthread_table[nt->nt_tid] = nullptr;
    nthread_nregistered--;
}

static void *nthread_main(void *arg) {
    auto *nt = static_cast<struct nthread *>(arg);
    nthread_self = nt;
    nt->nt_func(nt->nt_arg);
    return nullptr;
}

void nthread_start_all(void) {
    nthread_guard g;
    int n = nthread_nregistered;
    for (int i = 0; i < NTHREAD_MAX && n != 0; i++) {
        struct nthread *nt = nthread_table[i];
        if (nt == nullptr) continue;
        n--;
        nthread_create(&nt->nt_thread, nthread_main, nt);
    }
}

void nthread_start(struct nthread *nt) {
    nthread_create(&nt->nt_thread, nthread_main, nt);
}
