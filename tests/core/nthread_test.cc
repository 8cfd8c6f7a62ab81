#include "core/nthread.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <tuple>
#include <vector>

#include "core/nthread_unix.h"
#include "core/nthread_unix_internal.h"

namespace {

std::mutex mu;
std::vector<std::tuple<intptr_t, struct nthread *, pid_t>> ran;  // (arg, current, tid)

void *body(void *arg) {
    std::lock_guard<std::mutex> g(mu);
    ran.push_back({reinterpret_cast<intptr_t>(arg), nthread_current(), gettid()});
    return nullptr;
}
void *as_arg(intptr_t i) {
    return reinterpret_cast<void *>(i);
}

TEST(Nthread, SlotsAreTheLowestFreeAndOnlyTheirHolderFreesThem) {
    struct nthread t[NTHREAD_MAX] = {}, again = {}, never = {};
    for (int i = 0; i < NTHREAD_MAX; i++) {
        EXPECT_EQ(nthread_register(&t[i], body, nullptr), 0);
        EXPECT_EQ(t[i].nt_tid, i);
    }
    nthread_deregister(&t[2]);
    nthread_register(&again, body, nullptr);
    EXPECT_EQ(again.nt_tid, 2);
    nthread_deregister(&t[2]);   // stale: slot 2 is again's now
    nthread_deregister(&never);  // never registered: slot 0 is t[0]'s
    EXPECT_EQ(nthread_count(), NTHREAD_MAX);
    nthread_deregister(&again);
    for (int i = 0; i < NTHREAD_MAX; i++)
        nthread_deregister(&t[i]);
    EXPECT_EQ(nthread_count(), 0);
}

TEST(Nthread, StartAllRunsRegisteredRecordsLowestSlotFirst) {
    nthread_start_all();  // none registered: no thread
    EXPECT_TRUE(ran.empty());
    struct nthread t[6] = {};
    for (int i = 0; i < 6; i++)
        nthread_register(&t[i], body, as_arg(i));
    for (int i : {0, 2, 3, 4})
        nthread_deregister(&t[i]);
    nthread_start_all();
    nthread_term(&t[1].nt_thread);
    nthread_term(&t[5].nt_thread);
    ASSERT_EQ(ran.size(), 2u);
    std::sort(ran.begin(), ran.end());
    // Each thread sees its own record; the kernel numbers threads in the
    // order they were created, whatever order they ran in.
    EXPECT_EQ(std::get<1>(ran[0]), &t[1]);
    EXPECT_EQ(std::get<1>(ran[1]), &t[5]);
    EXPECT_LT(std::get<2>(ran[0]), std::get<2>(ran[1]));
    EXPECT_EQ(nthread_current(), nullptr);
    nthread_deregister(&t[1]);
    nthread_deregister(&t[5]);
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
    EXPECT_DEATH(nthread_register(nullptr, body, nullptr), "`nt != \\(\\(void \\*\\)0\\)'");
    struct nthread t = {};
    EXPECT_DEATH(nthread_register(&t, nullptr, nullptr), "`nt->nt_func != \\(\\(void \\*\\)0\\)'");
    pthread_t none = {};
    EXPECT_DEATH(nthread_term(&none), "nthread_unix.cc:[0-9]+: nthread_term: Assertion `rc == 0'");
}

// Waits up to 10 s for cond; a loaded machine may be slow, never wrong.
template <class F>
bool eventually(F cond) {
    for (int i = 0; i < 10000 && !cond(); i++)
        usleep(1000);
    return cond();
}

// 'S' once the thread sleeps in the kernel (here: the semaphore's futex).
char task_state(pid_t tid) {
    char path[64], buf[256] = {};
    snprintf(path, sizeof(path), "/proc/self/task/%d/stat", tid);
    FILE *f = fopen(path, "r");
    if (f == nullptr) return '?';
    size_t n = fread(buf, 1, sizeof(buf) - 1, f);
    fclose(f);
    const char *close_paren = strrchr(buf, ')');
    return n > 0 && close_paren != nullptr ? close_paren[2] : '?';
}

TEST(Nthread, SemWaitOutlastsSignalsAndReportsOtherErrors) {
    static std::atomic<int> signals, entered, result{99};
    static std::atomic<pid_t> tid;
    static sem_t sem;
    struct sigaction sa = {}, old;
    sa.sa_handler = [](int) { signals++; };  // sem_wait then fails with EINTR
    sigaction(SIGUSR2, &sa, &old);
    sem_init(&sem, 0, 0);
    nthread_set_sem_wait([](sem_t *s) { return entered++, sem_wait(s); });
    pthread_t th;
    nthread_create(
        &th,
        [](void *) -> void * {
            tid = gettid();
            return result = nthread_sem_wait(&sem), nullptr;
        },
        nullptr);
    // Each signal goes to a thread asleep in the wait, and only after the
    // previous one was handled: two pending signals would merge into one.
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(eventually([&] { return entered == i + 1 && task_state(tid) == 'S'; }));
        pthread_kill(th, SIGUSR2);
        ASSERT_TRUE(eventually([&] { return signals == i + 1; }));
    }
    ASSERT_TRUE(eventually([] { return entered == 4; }));  // waiting again
    EXPECT_EQ(result.load(), 99);
    sem_post(&sem);
    nthread_term(&th);
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(signals.load(), 3);
    sigaction(SIGUSR2, &old, nullptr);
    // The system's sem_wait has no error for a bad semaphore (it faults or
    // waits forever), so a failing wait is put in its place.
    static int calls;
    nthread_set_sem_wait([](sem_t *) { return errno = ++calls < 3 ? EINTR : EINVAL, -1; });
    EXPECT_EQ(nthread_sem_wait(&sem), -1);
    EXPECT_EQ(calls, 3);
    nthread_set_sem_wait(nullptr);
}

}  // namespace
