// hello-agent: an agent built on the installed qorv core library.
//
//   hello-agent -c CONFDIR -l LOGDIR -r RUNDIR    (as qorv-netmon starts its agent)
//
// It starts the core modules, counts beats on a callout, publishes them as
// "hello.stats", keeps a moving average of the beats per quarter second
// that reports samples outside three standard deviations, and runs the
// main poll until SIGTERM or SIGINT.  Log: LOGDIR/qorv-netagent.log.0.
#include <signal.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>

#include "core/agent_config.h"
#include "core/kern_timeout.h"
#include "core/kv_metrics.h"
#include "core/ncounter.h"
#include "core/netctl/netctl_vars.h"
#include "core/sig.h"
#include "core/swi.h"
#include "core/sysinit.h"

struct hello_stats {
    uint64_t beats;      // every beat so far
    uint64_t avg_milli;  // moving average of the beats per sample, x 1000
    uint64_t events;     // samples outside the three-sigma band
};
static struct hello_stats stats;  // read by the control-socket thread
static uint64_t sample_beats;     // what the kvm samples, and clears
static struct kvm *beats_kvm;
static struct callout beat_callout;
static volatile sig_atomic_t stop_signal;

// name, type, flags, size, event id, reserved, offset in the block
static struct kv_var stats_vars[] = {
    {"beats", KV_T_U64 | KV_K_COUNTER, 0, 8, 0, 0, offsetof(hello_stats, beats)},
    {"avg_milli", KV_T_U64, 0, 8, 0, 0, offsetof(hello_stats, avg_milli)},
    {"events", KV_T_U64 | KV_K_COUNTER, 0, 8, 0, 0, offsetof(hello_stats, events)},
};
// name, type, flags, variables, counts, block size (0: the caller's), block,
// variables, and three fields of the registry's
// clang-format off
static struct kv_head stats_head = {
    "hellostats", 0, 0, 3, {}, 0, nullptr, stats_vars, nullptr, nullptr, {}};
static struct kv_var sample_vars[] = {
    {"beats", KV_T_U64, KVF_EVENTS | KVF_HIGH | KVF_LOW, 8, 0, 0, 0}};
static struct kv_head sample_head = {
    "hellobeats", 0, 0, 1, {}, 8, nullptr, sample_vars, nullptr, nullptr, {}};
// clang-format on
// Sampling schedule 5: every 250 ms, 20 samples in the window.
static struct kv_sample schedule = {5, 20, {}, 250000, nullptr};

static void on_event(void *, int, double value, double bound) {  // main poll thread
    n_counter_inc(stats.events);
    tr_log(TR_GEN, TR_INFO, "hello-agent: %.0f beats in a sample, beyond %.2f", value, bound);
}

static void beat(void *) {  // every 50 ms, and a burst every 5 s
    static unsigned n;
    uint64_t add = ++n % 100 == 0 ? 40 : 1;
    n_counter_add(stats.beats, add);
    sample_beats += add;
    n_counter_set(stats.avg_milli, uint64_t(beats_kvm->kvm_ma[0].ma_avg * 1000));
    callout_reset(&beat_callout, 50000, beat, nullptr);
}

// The program's own module: after every core module but the configuration read.
static void hello_init(void *) {
    kv_sample_register(&schedule);
    beats_kvm = kvm_create(&sample_head, KVM_T_SMA, KVM_PERIODIC, schedule.ks_type, 0);
    N_ASSERT(beats_kvm != nullptr && kv_register(&stats_head) == 0 &&
             netctl_register_vars("hello.stats", &stats_head, &stats, 0, nullptr) == 0);
    beats_kvm->kvm_cur = &sample_beats;
    beats_kvm->kvm_event = on_event;
    callout_init(&beat_callout);
    callout_reset(&beat_callout, 50000, beat, nullptr);
}
SYSINIT(hello, "hello_mod", SI_SUB_MBUF + 1, SI_ORDER_ANY, hello_init, nullptr);

static void on_stop(int sig) {  // signal context: record and end the poll
    stop_signal = sig;
    main_poll_stop_async();
}

int main(int argc, char **argv) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);  // until the handlers are in place
    static struct agent_config cfg;
    for (int ch; (ch = getopt(argc, argv, "c:l:r:")) != -1;) {
        char **dir = ch == 'c' ? &cfg.ac_confdir : ch == 'l' ? &cfg.ac_logdir : &cfg.ac_rundir;
        if (ch == '?') return 1;  // getopt said why
        *dir = n_strdup(optarg);
    }
    if (cfg.ac_logdir == nullptr || cfg.ac_rundir == nullptr || optind != argc) {
        fprintf(stderr, "usage: hello-agent [-c DIR] -l DIR -r DIR\n");
        return 1;
    }
    agent_cfg = &cfg;
    sysinit_run();
    sig_register(SIGTERM, on_stop);
    sig_register(SIGINT, on_stop);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);
    tr_log(TR_GEN, TR_INFO, "hello-agent (%d) running", int(getpid()));
    main_poll(0);
    tr_log(TR_GEN, TR_INFO, "hello-agent (%d) stopping on signal %d", int(getpid()),
           int(stop_signal));
    sysfini_run();
    return stop_signal != 0 ? 0 : 1;
}
