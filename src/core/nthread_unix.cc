// nthread_unix: POSIX thread and semaphore wrappers.
#include "core/nthread_unix.h"
#include "core/nthread_unix_internal.h"

#include <errno.h>

#include "core/nassert.h"

static int (*nthread_sem_wait_fn)(sem_t *) = sem_wait;

void nthread_set_sem_wait(int (*fn)(sem_t *)) {
    nthread_sem_wait_fn = fn != nullptr ? fn : sem_wait;
}

int nthread_create(pthread_t *thread, void *(*start)(void *), void *arg) {
    int rc = pthread_create(thread, nullptr, start, arg);
    N_ASSERT(rc == 0);
    return 0;
}

int nthread_term(pthread_t *thread) {
    int rc = pthread_join(*thread, nullptr);
    N_ASSERT(rc == 0);
    return 0;
}

int nthread_sem_wait(sem_t *sem) {
    for (;;) {
        if (nthread_sem_wait_fn(sem) == 0) return 0;
        if (errno != EINTR) return -1;
    }
}
