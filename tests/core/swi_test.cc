#include "core/swi.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <time.h>

#include <chrono>
#include <vector>

#include "core/child.h"
#include "core/kern_timeout.h"
#include "core/logging.h"
#include "core/timestamp_internal.h"

namespace {

// A monotonic clock that moves 1 ms at each read: deadlines and tick
// updates are exact, and only idle passes really sleep.
uint64_t fake_ns = 1000000000;
int stepping_clock(clockid_t, struct timespec *ts) {
    fake_ns += 1000000;
    *ts = {static_cast<time_t>(fake_ns / 1000000000), static_cast<long>(fake_ns % 1000000000)};
    return 0;
}

struct line {
    int no = 0, result = 0, raises = 0;  // raises: how many calls raise `raise`
    std::vector<struct swi_handler *> raise, dereg;
    bool stop = false;
    line *retake = nullptr;  // after dereg: registers a handler for this and raises it
    struct swi_handler **retaken = nullptr;
};
std::vector<int> called;
std::vector<uint64_t> called_at;  // ticks: equal within a pass, rising between passes

int on_line(void *arg) {
    auto *l = static_cast<line *>(arg);
    called.push_back(l->no);
    called_at.push_back(ticks);
    if (l->raises > 0 && l->raises--)
        for (auto *sh : l->raise)
            swi_raise(sh);
    for (auto *sh : l->dereg)
        swi_deregister(sh);
    l->dereg.clear();
    if (l->retake != nullptr) swi_raise(*l->retaken = swi_register(on_line, l->retake));
    l->retake = nullptr;
    if (l->stop) main_poll_stop(nullptr);
    return l->result;
}

struct Swi : ::testing::Test {
    line l[8];
    struct swi_handler *sh[8];  // tests set an entry to null once deregistered
    void SetUp() override {
        static bool wheel = (softclock_init(nullptr), true);
        timestamp_set_clock(stepping_clock);
        tick_reset();
        tick_update();
        (void)wheel;
        tr_set_echo(0);
        called.clear();
        called_at.clear();
        for (int i = 0; i < 8; i++)
            l[i].no = i, sh[i] = swi_register(on_line, &l[i]);
    }
    void TearDown() override {
        for (auto *h : sh)
            if (h != nullptr) swi_deregister(h);
        timestamp_set_clock(nullptr);
    }
};

TEST_F(Swi, LowestFirstOncePerPassAndNewRaisesWaitForTheNextPass) {
    EXPECT_EQ(sh[0]->sh_line + sh[7]->sh_line, 7u);
    swi_raise(sh[5]);
    swi_raise(sh[2]);
    swi_raise(sh[5]);
    l[5].raise = {sh[5], sh[2]};  // line 5 raises itself and line 2, twice
    l[5].raises = 2;
    main_poll(7000);
    EXPECT_EQ(called, (std::vector<int>{2, 5, 2, 5, 2, 5}));
    ASSERT_EQ(called_at.size(), 6u);
    for (size_t i = 1; i < 6; i++)
        EXPECT_EQ(called_at[i] > called_at[i - 1], i % 2 == 0) << i;
    swi_deregister(sh[3]);  // the lowest free line is taken again
    EXPECT_EQ((sh[3] = swi_register(on_line, &l[3]))->sh_line, 3u);
}

TEST_F(Swi, DeregisteredLinesAreNotDispatched) {
    swi_raise(sh[4]);
    swi_deregister(sh[4]);  // before the pass
    sh[4] = nullptr;
    l[1].dereg = {sh[3], sh[5]};  // and during it, ahead of their turn;
    l[1].retake = &l[3];          // line 3 is taken again and raised at once
    l[1].retaken = &sh[3];
    for (int i : {1, 3, 5, 6})
        swi_raise(sh[i]);
    main_poll(3500);  // two passes
    // The new line 3 waits for the next pass, like any raise made in one.
    EXPECT_EQ(called, (std::vector<int>{1, 6, 3}));
    EXPECT_GT(called_at.back(), called_at[1]);
    sh[5] = swi_register(on_line, &l[5]);  // line 5's raise went with the old handler
    main_poll(1500);
    EXPECT_EQ(called.size(), 3u);
}

TEST_F(Swi, HandlerErrorEndsThePollLeavingTheRestPending) {
    l[3].result = -1;
    for (int i : {6, 1, 3})
        swi_raise(sh[i]);
    std::string out = qt::captured([] { tr_set_echo(1), main_poll(0); });
    EXPECT_EQ(called, (std::vector<int>{1, 3}));
    EXPECT_EQ(swi_pending_mask(), uint64_t{1} << 6);
    EXPECT_NE(out.find(" ERROR main_poll: swi handler error\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" DEBUG main_poll: exiting loop\n"), std::string::npos);
    l[3].result = 0;
    main_poll(1500);  // a later poll picks up the rest
    EXPECT_EQ(called, (std::vector<int>{1, 3, 6}));
}

TEST_F(Swi, IdlePollSleepsAdvancesTicksRunsCalloutsAndKeepsItsDeadline) {
    timestamp_set_clock(nullptr);
    tick_reset();
    tick_update();  // ticks counts from here, not from the poll's first step
    static int fired;
    timeout([](void *) { fired++; }, nullptr, 30000);
    const uint64_t t0 = ticks;
    auto start = std::chrono::steady_clock::now();
    main_poll(100000);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(100));
    EXPECT_GE(ticks - t0, 100000u);
    EXPECT_EQ(fired, 1);
}

TEST_F(Swi, StopFlagEndsThePollForGood) {
    auto r = qt::run_child([&] {  // the flag is never reset: a child each
        tr_set_echo(1);
        l[0].stop = true;
        swi_raise(sh[0]);
        swi_raise(sh[1]);
        main_poll(0);
        CHILD_CHECK(called == std::vector<int>{0});  // line 1 was cut off
        main_poll(100000);
        CHILD_CHECK(called.size() == 1 && swi_pending_mask() == 2u);
    });
    EXPECT_TRUE(r.exited(0)) << r.err;
    EXPECT_NE(r.out.find(" INFO Stopping main poll\n"), std::string::npos) << r.out;
    // From a signal handler, on a timer, while the poll sleeps: nothing is
    // logged there.  A poll that went on sleeping would be killed.
    r = qt::run_child([] {
        timestamp_set_clock(nullptr);
        tr_set_echo(1);
        signal(SIGUSR2, [](int) { main_poll_stop_async(); });
        timer_t t;
        struct sigevent ev = {};
        ev.sigev_notify = SIGEV_SIGNAL;
        ev.sigev_signo = SIGUSR2;
        CHILD_CHECK(timer_create(CLOCK_MONOTONIC, &ev, &t) == 0);
        struct itimerspec its = {{0, 0}, {0, 50 * 1000 * 1000}};
        timer_settime(t, 0, &its, nullptr);
        main_poll(0);
    });
    EXPECT_TRUE(r.exited(0)) << r.err;
    EXPECT_EQ(r.out.find("Stopping main poll"), std::string::npos) << r.out;
}

TEST_F(Swi, RegistryMisuseStops) {
    EXPECT_DEATH(
        {
            for (int i = 8; i <= 64; i++)
                swi_register(on_line, nullptr);
        },
        "src/core/swi.cc:[0-9]+: swi_register: Assertion `intr < 64' failed");
    struct swi_handler copy = *sh[7];
    swi_deregister(sh[7]);
    sh[7] = nullptr;
    EXPECT_DEATH(swi_deregister(&copy), "Assertion `swip->swi_active & sh->sh_mask' failed");
    copy.sh_mask = 0;
    EXPECT_DEATH(swi_deregister(&copy), "Assertion `sh->sh_mask != 0' failed");
}

}  // namespace
