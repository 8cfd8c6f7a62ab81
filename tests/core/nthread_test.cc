#include "core/nthread.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <signal.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "core/nthread_unix.h"

namespace {

std::mutex mu;
std::vector<std::pair<struct nthread *, struct nthread *>> seen;  // (arg, current)

void *body(void *arg) {
    std::lock_guard<std::mutex> g(mu);
    seen.push_back({static_cast<struct nthread *>(arg), nthread_current()});
    return nullptr;
}

TEST(Nthread, SlotsAreTheLowestFreeAndReused) {
    struct nthread t[NTHREAD_MAX] = {};
    for (int i = 0; i < NTHREAD_MAX; i++) {
        EXPECT_EQ(nthread_register(&t[i], body, &t[i]), 0);
        EXPECT_EQ(t[i].nt_tid, i);
        EXPECT_EQ(t[i].nt_arg, &t[i]);
    }
    EXPECT_EQ(nthread_count(), NTHREAD_MAX);
    nthread_deregister(&t[2]);
    struct nthread again = {};
    nthread_register(&again, body, nullptr);
    EXPECT_EQ(again.nt_tid, 2);
    // A stale second deregistration of t[2] must not free again's slot.
    nthread_deregister(&t[2]);
    EXPECT_EQ(nthread_count(), NTHREAD_MAX);
    struct nthread never = {};
    nthread_deregister(&never);  // never registered: its tid 0 is t[0]'s
    EXPECT_EQ(nthread_count(), NTHREAD_MAX);

    nthread_deregister(&again);
    for (int i = 0; i < NTHREAD_MAX; i++)
        if (i != 2) nthread_deregister(&t[i]);
    EXPECT_EQ(nthread_count(), 0);
}

void register_nine() {
    dup2(STDERR_FILENO, STDOUT_FILENO);  // the log line is echoed to stdout
    static struct nthread t[NTHREAD_MAX + 1];
    for (auto &r : t)
        nthread_register(&r, body, nullptr);
}

TEST(Nthread, MisuseStops) {
    EXPECT_DEATH(register_nine(),
                 "nthread_register: max # of threads reached(.|\n)*src/core/nthread.cc:[0-9]+: "
                 "nthread_register: Assertion");
    EXPECT_DEATH(nthread_register(nullptr, body, nullptr),
                 "Assertion `nt != \\(\\(void \\*\\)0\\)'");
    struct nthread t = {};
    EXPECT_DEATH(nthread_register(&t, nullptr, nullptr),
                 "Assertion `nt->nt_func != \\(\\(void \\*\\)0\\)'");
    pthread_t bogus = {};
    EXPECT_DEATH(nthread_term(&bogus),
                 "src/core/nthread_unix.cc:[0-9]+: nthread_term: Assertion `rc == 0'");
}

TEST(Nthread, StartAllRunsEachRecordWithItsOwnCurrentPointer) {
    seen.clear();
    nthread_start_all();  // nothing registered: nothing started
    EXPECT_TRUE(seen.empty());

    struct nthread t[6] = {};
    for (auto &r : t)
        nthread_register(&r, body, &r);
    for (int i : {0, 2, 3, 4})
        nthread_deregister(&t[i]);
    ASSERT_EQ(t[1].nt_tid, 1);
    ASSERT_EQ(t[5].nt_tid, 5);
    nthread_start_all();
    nthread_term(&t[1].nt_thread);
    nthread_term(&t[5].nt_thread);
    ASSERT_EQ(seen.size(), 2u);
    for (auto &[arg, cur] : seen)
        EXPECT_EQ(arg, cur);                // each sees its own record
    EXPECT_EQ(nthread_current(), nullptr);  // not a registry thread
    nthread_deregister(&t[1]);
    nthread_deregister(&t[5]);

    // nthread_start runs one record, registered or not.
    seen.clear();
    struct nthread lone = {};
    lone.nt_func = body;
    lone.nt_arg = &lone;
    nthread_start(&lone);
    nthread_term(&lone.nt_thread);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].second, &lone);
}

std::vector<std::pair<int, pid_t>> started;  // (slot, kernel thread id)
void *tid_body(void *arg) {
    std::lock_guard<std::mutex> g(mu);
    started.push_back({static_cast<int>(reinterpret_cast<intptr_t>(arg)), gettid()});
    return nullptr;
}

TEST(Nthread, StartAllCreatesLowestSlotFirst) {
    // The kernel numbers threads in creation order, whatever order they
    // then run in.
    struct nthread t[6] = {};
    for (int i = 0; i < 6; i++)
        nthread_register(&t[i], tid_body, reinterpret_cast<void *>(static_cast<intptr_t>(i)));
    for (int i : {0, 2, 3, 4})
        nthread_deregister(&t[i]);
    started.clear();
    nthread_start_all();
    nthread_term(&t[1].nt_thread);
    nthread_term(&t[5].nt_thread);
    ASSERT_EQ(started.size(), 2u);
    std::sort(started.begin(), started.end());
    EXPECT_EQ(started[0].first, 1);
    EXPECT_EQ(started[1].first, 5);
    EXPECT_LT(started[0].second, started[1].second);
    nthread_deregister(&t[1]);
    nthread_deregister(&t[5]);
}

std::atomic<int> usr2_count;
void on_usr2(int) {
    usr2_count++;
}

struct waiter {
    sem_t sem;
    std::atomic<bool> waiting{false};
    std::atomic<int> result{99};
};

TEST(NthreadSem, InterruptedWaitKeepsWaiting) {
    struct sigaction sa = {}, old;
    sa.sa_handler = on_usr2;  // sem_wait fails with EINTR after a handler
    sigaction(SIGUSR2, &sa, &old);
    waiter w;
    sem_init(&w.sem, 0, 0);
    pthread_t th;
    nthread_create(
        &th,
        [](void *p) -> void * {
            auto *w = static_cast<waiter *>(p);
            w->waiting = true;
            w->result = nthread_sem_wait(&w->sem);
            return nullptr;
        },
        &w);
    while (!w.waiting)
        sched_yield();
    for (int i = 0; i < 3; i++) {
        usleep(5000);
        pthread_kill(th, SIGUSR2);
    }
    usleep(5000);
    EXPECT_EQ(w.result.load(), 99);  // still waiting after the signals
    sem_post(&w.sem);
    nthread_term(&th);
    EXPECT_EQ(w.result.load(), 0);
    EXPECT_EQ(usr2_count.load(), 3);
    sigaction(SIGUSR2, &old, nullptr);
    sem_destroy(&w.sem);
}

int eintr_then_einval_calls;
int eintr_then_einval(sem_t *) {
    errno = ++eintr_then_einval_calls < 3 ? EINTR : EINVAL;
    return -1;
}

TEST(NthreadSem, OtherErrorsReturnMinusOne) {
    // The system's sem_wait reports no error for a bad semaphore object (it
    // would fault or wait forever), so the failing wait is injected.
    nthread_set_sem_wait(eintr_then_einval);
    sem_t sem;
    EXPECT_EQ(nthread_sem_wait(&sem), -1);
    EXPECT_EQ(eintr_then_einval_calls, 3);  // retried through both EINTRs
    nthread_set_sem_wait(nullptr);
    sem_init(&sem, 0, 1);
    EXPECT_EQ(nthread_sem_wait(&sem), 0);
    sem_destroy(&sem);
}

}  // namespace
