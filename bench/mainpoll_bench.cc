// The main poll: one raised line dispatched per pass, and the idle loop's
// wake-ups and CPU time.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>

#include "core/kern_timeout.h"
#include "core/logging.h"
#include "core/swi.h"
#include "core/timestamp.h"
#include "ratio_main.h"

namespace {

void setup() {
    static bool done;
    if (done) return;
    tr_set_echo(0);
    softclock_init(nullptr);
    tick_update();
    done = true;
}

struct pass_ctx {
    benchmark::State *state;
    struct swi_handler *self;
};

// Each benchmark iteration is one main_poll pass: the handler raises its
// own line for the next pass, and ends the poll when the run is over.
int raise_self(void *arg) {
    auto *p = static_cast<pass_ctx *>(arg);
    if (!p->state->KeepRunning()) return -1;
    swi_raise(p->self);
    return 0;
}

void BM_MainPollRaiseDispatchPass(benchmark::State &state) {
    setup();
    pass_ctx p{&state, nullptr};
    p.self = swi_register(raise_self, &p);
    swi_raise(p.self);
    tr_mask = 0;  // the handler's error return is the end of the run, not news
    main_poll(0);
    tr_mask = TR_GEN;
    swi_deregister(p.self);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MainPollRaiseDispatchPass);

// The bare cost of the clock read each pass makes: the baseline.
void BM_ClockRead(benchmark::State &state) {
    for (auto _ : state) {
        uint64_t t = timestamp_now_usec();
        asm volatile("" : : "r"(t) : "memory");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ClockRead);

double cpu_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// An idle poll for a few seconds (the run's length is the argument, in
// ms): wake-ups per second, counted as voluntary context switches (one per
// 10 ms sleep), and CPU time scaled to one idle minute.
void BM_MainPollIdle(benchmark::State &state) {
    setup();
    const int ms = static_cast<int>(state.range(0));
    double wakeups = 0, cpu = 0;
    for (auto _ : state) {
        struct rusage r0, r1;
        getrusage(RUSAGE_THREAD, &r0);
        double c0 = cpu_seconds();
        main_poll(ms * 1000);
        cpu += cpu_seconds() - c0;
        getrusage(RUSAGE_THREAD, &r1);
        wakeups += static_cast<double>(r1.ru_nvcsw - r0.ru_nvcsw);
    }
    const double secs = static_cast<double>(ms) / 1000 * static_cast<double>(state.iterations());
    state.counters["wakeups_per_s"] = wakeups / secs;
    state.counters["cpu_ms_per_idle_min"] = cpu / secs * 60 * 1000;
}
BENCHMARK(BM_MainPollIdle)->Arg(3000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
    return qb::run_with_ratios(argc, argv, {{"BM_MainPollRaiseDispatchPass", "BM_ClockRead", 0}});
}
