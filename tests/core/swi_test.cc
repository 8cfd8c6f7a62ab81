#include "core/swi.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "core/capture.h"
#include "core/child.h"
#include "core/kern_timeout.h"
#include "core/logging.h"
#include "core/timestamp.h"

namespace {

// A monotonic clock that moves 1 ms each time it is read, so that the
// loop's deadline and tick updates are exact and need no waiting.
uint64_t fake_ns = 1000000000;
int stepping_clock(clockid_t, struct timespec *ts) {
    fake_ns += 1000000;
    ts->tv_sec = static_cast<time_t>(fake_ns / 1000000000);
    ts->tv_nsec = static_cast<long>(fake_ns % 1000000000);
    return 0;
}

struct call {
    int line;
    uint64_t at;  // ticks at the call: one value per loop iteration
};
std::vector<call> calls;

struct line_ctx {
    explicit line_ctx(int l = 0) : line(l) {}
    int line;
    int result = 0;
    std::vector<struct swi_handler *> raise;  // raised by the handler
    int raise_times = 0;                      // how many calls raise them
    std::vector<struct swi_handler *> dereg;  // deregistered by the handler
    bool stop = false;                        // sets the stop flag
};

int on_line(void *arg) {
    auto *c = static_cast<line_ctx *>(arg);
    calls.push_back({c->line, ticks});
    if (c->raise_times > 0) {
        c->raise_times--;
        for (auto *sh : c->raise)
            swi_raise(sh);
    }
    for (auto *sh : c->dereg)
        swi_deregister(sh);
    c->dereg.clear();
    if (c->stop) main_poll_stop(nullptr);
    return c->result;
}

std::vector<int> lines_called() {
    std::vector<int> out;
    for (auto &c : calls)
        out.push_back(c.line);
    return out;
}

class Swi : public ::testing::Test {
  protected:
    void SetUp() override {
        static bool wheel;
        if (!wheel) {
            softclock_init(nullptr);
            wheel = true;
        }
        timestamp_set_clock(stepping_clock);
        tick_reset();
        tick_update();
        calls.clear();
        tr_set_echo(0);
        ASSERT_EQ(swi_active_mask(), 0u) << "a test left lines registered";
    }
    void TearDown() override {
        for (auto *sh : regs)
            if (swi_active_mask() & sh->sh_mask) swi_deregister(sh);
        timestamp_set_clock(nullptr);
        tick_reset();
        tr_set_echo(1);
    }
    // Registers lines 0..n-1 with contexts ctx[0..n-1].
    void register_lines(int n) {
        ctx.resize(static_cast<size_t>(n));
        for (int i = 0; i < n; i++) {
            ctx[i].line = i;
            regs.push_back(swi_register(on_line, &ctx[i]));
            ASSERT_EQ(regs.back()->sh_line, static_cast<uint64_t>(i));
        }
    }
    std::vector<line_ctx> ctx;
    std::vector<struct swi_handler *> regs;
};

TEST_F(Swi, LowestFreeLineIsTakenAgain) {
    register_lines(5);
    EXPECT_EQ(regs[3]->sh_mask, uint64_t{1} << 3);
    EXPECT_EQ(swi_active_mask(), 0x1fu);
    swi_deregister(regs[3]);
    line_ctx again{3};
    struct swi_handler *sh = swi_register(on_line, &again);
    EXPECT_EQ(sh->sh_line, 3u);
    regs[3] = sh;
}

TEST_F(Swi, PendingLinesRunLowestFirstInOnePass) {
    register_lines(6);
    swi_raise(regs[5]);
    swi_raise(regs[2]);
    swi_raise(regs[5]);  // raised twice, dispatched once
    main_poll(1500);     // one iteration on the stepping clock
    EXPECT_EQ(lines_called(), (std::vector<int>{2, 5}));
    EXPECT_EQ(calls[0].at, calls[1].at);  // the same pass
    EXPECT_EQ(swi_pending_mask(), 0u);
}

TEST_F(Swi, LinesRaisedDuringAPassWaitForTheNextIteration) {
    register_lines(6);
    // Line 5 raises itself and the lower line 2 while it runs, twice.  A
    // pass that took up new raises would run 2 at once, or 5 again.
    ctx[5].raise = {regs[5], regs[2]};
    ctx[5].raise_times = 2;
    swi_raise(regs[5]);
    main_poll(7000);
    EXPECT_EQ(lines_called(), (std::vector<int>{5, 2, 5, 2, 5}));
    // Iterations are told apart by ticks, which move once per iteration.
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_LT(calls[0].at, calls[1].at);
    EXPECT_EQ(calls[1].at, calls[2].at);
    EXPECT_LT(calls[2].at, calls[3].at);
    EXPECT_EQ(calls[3].at, calls[4].at);
}

TEST_F(Swi, DeregisteredLinesAreNotDispatched) {
    register_lines(5);
    swi_raise(regs[4]);
    swi_deregister(regs[4]);
    EXPECT_EQ(swi_pending_mask(), 0u);
    main_poll(1500);
    EXPECT_TRUE(calls.empty());

    // Line 1 deregisters line 3 in the pass that would run it.
    regs[4] = swi_register(on_line, &ctx[4]);
    ctx[1].dereg = {regs[3]};
    swi_raise(regs[1]);
    swi_raise(regs[3]);
    swi_raise(regs[4]);
    main_poll(1500);
    EXPECT_EQ(lines_called(), (std::vector<int>{1, 4}));
    // The raise went with the old handler: a new one on line 3 is idle.
    line_ctx fresh{3};
    regs[3] = swi_register(on_line, &fresh);
    EXPECT_EQ(regs[3]->sh_line, 3u);
    calls.clear();
    main_poll(1500);
    EXPECT_TRUE(calls.empty());
}

TEST_F(Swi, NewHandlerOnALineFreedInThePassIsNotCalled) {
    register_lines(4);
    static line_ctx fresh{3};
    static struct swi_handler *taken;
    struct reg_ctx {
        struct swi_handler *victim;
    };
    static reg_ctx rc;
    rc.victim = regs[3];
    struct swi_handler *sh = regs[1];
    swi_deregister(sh);
    regs[1] = swi_register(
        [](void *) {
            calls.push_back({1, ticks});
            swi_deregister(rc.victim);
            taken = swi_register(on_line, &fresh);
            return 0;
        },
        nullptr);
    swi_raise(regs[1]);
    swi_raise(regs[3]);
    main_poll(1500);
    EXPECT_EQ(lines_called(), (std::vector<int>{1}));
    ASSERT_EQ(taken->sh_line, 3u);
    regs[3] = taken;
}

TEST_F(Swi, HandlerErrorEndsThePollAndLeavesTheRestPending) {
    register_lines(7);
    ctx[3].result = -1;
    for (int l : {6, 1, 3})
        swi_raise(regs[l]);
    std::string out = qt::capture_stdout([] {
        tr_set_echo(1);
        main_poll(0);  // no deadline: only the error ends it
        tr_set_echo(0);
    });
    EXPECT_EQ(lines_called(), (std::vector<int>{1, 3}));
    EXPECT_EQ(swi_pending_mask(), uint64_t{1} << 6);
    auto err = out.find("ERROR main_poll: swi handler error\n");
    ASSERT_NE(err, std::string::npos) << out;
    EXPECT_NE(out.find("DEBUG main_poll: exiting loop\n", err), std::string::npos) << out;
    // A later poll picks up what was left.
    ctx[3].result = 0;
    calls.clear();
    main_poll(1500);
    EXPECT_EQ(lines_called(), (std::vector<int>{6}));
}

void note_fired(void *arg) {
    ++*static_cast<int *>(arg);
}

TEST_F(Swi, IdlePollSleepsAdvancesTicksRunsCalloutsAndMeetsItsDeadline) {
    timestamp_set_clock(nullptr);
    tick_reset();
    tick_update();
    int fired = 0;
    timeout(note_fired, &fired, 30000);
    const uint64_t t0 = ticks;
    std::string out;
    auto start = std::chrono::steady_clock::now();
    out = qt::capture_stdout([] {
        tr_set_echo(1);
        main_poll(100000);
        tr_set_echo(0);
    });
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(100));
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    EXPECT_GE(ticks - t0, 90000u);
    EXPECT_EQ(fired, 1);
    EXPECT_NE(out.find("DEBUG main_poll: exiting loop\n"), std::string::npos) << out;
}

void stop_child() {
    static line_ctx a{0}, b{1};
    a.stop = true;
    struct swi_handler *la = swi_register(on_line, &a);
    struct swi_handler *lb = swi_register(on_line, &b);
    swi_raise(la);
    swi_raise(lb);
    main_poll(0);
    // The stop came from line 0 in the middle of its pass: line 1 waits.
    CHILD_CHECK(lines_called() == std::vector<int>{0});
    CHILD_CHECK(swi_pending_mask() == lb->sh_mask);
    // For good: later polls return at once, pending work or not.
    main_poll(0);
    main_poll(100000);
    CHILD_CHECK(calls.size() == 1);
}

void stop_from_callout_child() {
    timestamp_set_clock(nullptr);
    tick_reset();
    tr_set_echo(1);
    timeout([](void *) { main_poll_stop(nullptr); }, nullptr, 20000);
    main_poll(0);
}

TEST_F(Swi, StopFlagEndsThePollForGood) {
    // The flag is never reset: each case runs in its own process.
    auto r = qt::run_child(stop_child);
    EXPECT_TRUE(r.exited(0)) << r.err;
    r = qt::run_child(stop_from_callout_child, 3000);
    EXPECT_TRUE(r.exited(0)) << r.status << r.err;
    EXPECT_NE(r.out.find("INFO Stopping main poll\n"), std::string::npos) << r.out;
}

void register_65() {
    for (int i = 0; i < 64; i++)
        swi_register(on_line, nullptr);
    swi_register(on_line, nullptr);
}

void deregister_twice() {
    struct swi_handler *sh = swi_register(on_line, nullptr);
    struct swi_handler copy = *sh;
    swi_deregister(sh);
    swi_deregister(&copy);
}

TEST_F(Swi, RegistryMisuseStops) {
    EXPECT_DEATH(register_65(),
                 "src/core/swi.cc:[0-9]+: swi_register: Assertion `intr < 64' failed");
    EXPECT_DEATH(deregister_twice(), "Assertion `swip->swi_active & sh->sh_mask' failed");
    struct swi_handler zero = {};
    EXPECT_DEATH(swi_deregister(&zero), "Assertion `sh->sh_mask != 0' failed");
}

}  // namespace
