#include "core/swi.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "core/child.h"
#include "core/kern_timeout.h"
#include "core/logging.h"

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
    explicit line(int n = 0) : no(n) {}
    int no, result = 0, raises = 0;  // raises: calls that raise `raise`
    std::vector<struct swi_handler *> raise, dereg;
    bool stop = false;
};
std::vector<std::pair<int, uint64_t>> calls;  // (line, ticks): ticks tell passes apart

int on_line(void *arg) {
    auto *l = static_cast<line *>(arg);
    calls.push_back({l->no, ticks});
    if (l->raises > 0 && l->raises--)
        for (auto *sh : l->raise)
            swi_raise(sh);
    for (auto *sh : l->dereg)
        swi_deregister(sh);
    l->dereg.clear();
    if (l->stop) main_poll_stop(nullptr);
    return l->result;
}
std::vector<int> called() {
    std::vector<int> out;
    for (auto &c : calls)
        out.push_back(c.first);
    return out;
}

struct Swi : ::testing::Test {
    line l[8];
    struct swi_handler *sh[8];
    void SetUp() override {
        static bool wheel = (softclock_init(nullptr), true);
        (void)wheel;
        timestamp_set_clock(stepping_clock);
        tick_reset();
        tick_update();
        tr_set_echo(0);
        calls.clear();
        for (int i = 0; i < 8; i++) {
            l[i].no = i;
            sh[i] = swi_register(on_line, &l[i]);
            ASSERT_EQ(sh[i]->sh_line, static_cast<uint64_t>(i));
        }
    }
    // Tests keep sh[] up to date: null once deregistered.
    void TearDown() override {
        for (auto *h : sh)
            if (h != nullptr) swi_deregister(h);
        timestamp_set_clock(nullptr);
        tick_reset();
        tr_set_echo(1);
    }
};

TEST_F(Swi, LowestFirstOncePerPassAndLateRaisesWaitForTheNextPass) {
    swi_raise(sh[5]);
    swi_raise(sh[2]);
    swi_raise(sh[5]);
    // Line 5 raises itself and the lower line 2 while it runs, twice: a
    // pass that took up new raises would run 2 or 5 again at once.
    l[5].raise = {sh[5], sh[2]};
    l[5].raises = 2;
    main_poll(7000);
    EXPECT_EQ(called(), (std::vector<int>{2, 5, 2, 5, 2, 5}));
    ASSERT_EQ(calls.size(), 6u);
    for (size_t i = 1; i < 6; i++)
        EXPECT_EQ(calls[i].second > calls[i - 1].second, i % 2 == 0) << i;
    EXPECT_EQ(swi_pending_mask(), 0u);

    swi_deregister(sh[3]);  // the lowest free line is taken again
    EXPECT_EQ((sh[3] = swi_register(on_line, &l[3]))->sh_line, 3u);
}

TEST_F(Swi, DeregisteredLinesAreNotDispatched) {
    swi_raise(sh[4]);
    swi_deregister(sh[4]);  // before the pass
    sh[4] = nullptr;
    l[1].dereg = {sh[3]};  // and during it, ahead of its turn
    swi_raise(sh[1]);
    swi_raise(sh[3]);
    swi_raise(sh[6]);
    main_poll(1500);
    EXPECT_EQ(called(), (std::vector<int>{1, 6}));
    // The raise went with the old handler: a new one on line 3 stays idle.
    sh[3] = swi_register(on_line, &l[3]);
    main_poll(1500);
    EXPECT_EQ(calls.size(), 2u);
}

TEST_F(Swi, HandlerErrorEndsThePollAndLeavesTheRestPending) {
    l[3].result = -1;
    for (int i : {6, 1, 3})
        swi_raise(sh[i]);
    std::string out = qt::capture_stdout([] {
        tr_set_echo(1);
        main_poll(0);  // no deadline: only the error ends it
    });
    EXPECT_EQ(called(), (std::vector<int>{1, 3}));
    EXPECT_EQ(swi_pending_mask(), uint64_t{1} << 6);
    EXPECT_NE(out.find(" ERROR main_poll: swi handler error\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" DEBUG main_poll: exiting loop\n"), std::string::npos);
    l[3].result = 0;
    main_poll(1500);  // a later poll picks up the rest
    EXPECT_EQ(called(), (std::vector<int>{1, 3, 6}));
}

TEST_F(Swi, IdlePollSleepsAdvancesTicksRunsCalloutsMeetsItsDeadline) {
    timestamp_set_clock(nullptr);
    tick_reset();
    tick_update();
    static int fired;
    timeout([](void *) { fired++; }, nullptr, 30000);
    const uint64_t t0 = ticks;
    auto start = std::chrono::steady_clock::now();
    main_poll(100000);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(100));
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    EXPECT_GE(ticks - t0, 90000u);
    EXPECT_EQ(fired, 1);
}

TEST_F(Swi, StopFlagEndsThePollForGood) {
    // The flag is never reset: each case runs in a child.
    auto r = qt::run_child([&] {
        l[0].stop = true;
        swi_raise(sh[0]);
        swi_raise(sh[1]);
        main_poll(0);
        CHILD_CHECK(called() == std::vector<int>{0});  // line 1 was cut off
        CHILD_CHECK(swi_pending_mask() == 2u);
        main_poll(100000);
        CHILD_CHECK(calls.size() == 1);
    });
    EXPECT_TRUE(r.exited(0)) << r.err;
    r = qt::run_child([] {
        timestamp_set_clock(nullptr);
        tick_reset();
        tr_set_echo(1);
        timeout([](void *) { main_poll_stop(nullptr); }, nullptr, 20000);
        main_poll(0);
    });
    EXPECT_TRUE(r.exited(0)) << r.err;
    EXPECT_NE(r.out.find(" INFO Stopping main poll\n"), std::string::npos) << r.out;
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
