// agent: start-up, run phase and shut-down of qorv-netagent.
#include "agent/agent.h"
#include "agent/agent_conf.h"
#include "agent/agent_prom.h"
#include "agent/agent_sockets.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <cstddef>

#include "agent/agent_net.h"
#include "core/agent_config.h"
#include "core/kern_timeout.h"
#include "core/kv.h"
#include "core/logging.h"
#include "core/ncounter.h"
#include "core/netctl/netctl_sock.h"
#include "core/netctl/netctl_vars.h"
#include "core/nmem.h"
#include "core/sig.h"
#include "core/swi.h"
#include "core/sysinit.h"
#include "core/timestamp.h"
#include "core/utils_unix.h"

static volatile sig_atomic_t agent_stop_signal;
static int agent_lock_err;  // why the run directory could not be locked, or 0
static struct agent_stats agent_stats;
static uint64_t agent_start_usec;
static struct callout agent_stats_callout;

static struct kv_var agent_stats_vars[] = {
    {"rss_kb", KV_T_U64, 0, 8, 0, 0, offsetof(struct agent_stats, as_rss_kb)},
    {"uptime_s", KV_T_U64, 0, 8, 0, 0, offsetof(struct agent_stats, as_uptime_s)},
    {"poll_passes", KV_T_U64 | KV_K_COUNTER, 0, 8, 0, 0,
     offsetof(struct agent_stats, as_poll_passes)},
};
static struct kv_head agent_stats_head = {
    "agentstats",
    0,
    0,
    sizeof(agent_stats_vars) / sizeof(agent_stats_vars[0]),
    {0, 0, 0, 0},
    0,
    nullptr,
    agent_stats_vars,
    nullptr,
    nullptr,
    {nullptr, nullptr},
};

int agent_parse_args(int argc, char **argv, struct agent_args *a) {
    *a = agent_args{};
    int ch;
    optind = 0;
    while ((ch = getopt(argc, argv, "c:l:r:")) != -1) {
        switch (ch) {
            case 'c':
                a->aa_confdir = optarg;
                break;
            case 'l':
                a->aa_logdir = optarg;
                break;
            case 'r':
                a->aa_rundir = optarg;
                break;
            default:
                tr_log(1, TR_ERROR, "agent_parse_args: invalid option %c", ch);
                return -1;
        }
    }
    if (a->aa_confdir == nullptr || a->aa_logdir == nullptr || a->aa_rundir == nullptr) {
        tr_log(1, TR_ERROR, "agent_parse_args: usage: qorv-netagent -c DIR -l DIR -r DIR");
        return -1;
    }
    return 0;
}

int agent_config_fill(const struct agent_args *a, struct agent_config *cfg) {
    *cfg = agent_config{};
    cfg->ac_dest = n_strdup("file");
    cfg->ac_confdir = n_strdup(a->aa_confdir);
    cfg->ac_logdir = n_strdup(a->aa_logdir);
    cfg->ac_rundir = n_strdup(a->aa_rundir);
    if (cfg->ac_dest && cfg->ac_confdir && cfg->ac_logdir && cfg->ac_rundir) return 0;
    tr_log(1, TR_ERROR, "agent_config_fill: out of memory");
    return -1;
}

static sigset_t agent_stop_set(void) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);  // until agent_conf_start takes it over
    return set;
}

void agent_block_stop_signals(void) {
    sigset_t set = agent_stop_set();
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

// Signal context: record the signal and end the poll, nothing more.
static void agent_on_stop_signal(int sig) {
    agent_stop_signal = sig;
    main_poll_stop_async();
}

void agent_stats_update(void) {
    int64_t rss = utils_rss_kb();
    n_counter_set(agent_stats.as_rss_kb, rss > 0 ? static_cast<uint64_t>(rss) : uint64_t{0});
    n_counter_set(agent_stats.as_uptime_s, (timestamp_now_usec() - agent_start_usec) / 1000000);
    n_counter_set(agent_stats.as_poll_passes, main_poll_passes());
}

const struct agent_stats *agent_stats_block(void) {
    return &agent_stats;
}

static void agent_stats_tick(void *) {
    agent_stats_update();
    callout_reset(&agent_stats_callout, agent_conf_stats_period_usec(), agent_stats_tick, nullptr);
}

static void agent_stats_publish(void) {
    agent_start_usec = timestamp_now_usec();
    agent_stats_update();
    if (kv_register(&agent_stats_head) != 0 ||
        netctl_register_vars("agent.proc.stats", &agent_stats_head, &agent_stats, 0, nullptr) != 0)
        tr_log(1, TR_ERROR, "agent_stats_publish: agent.proc.stats not published");
    callout_init(&agent_stats_callout);
    callout_reset(&agent_stats_callout, agent_conf_stats_period_usec(), agent_stats_tick, nullptr);
}

int agent_lock_rundir(struct agent_config *cfg) {
    pid_t holder = 0;
    int fd = netctl_sock_lock(cfg->ac_rundir, &holder);
    agent_lock_err = fd == -1 ? errno : 0;
    if (fd != -2) return 0;  // held until the process ends
    // Said where the supervisor's report points: the agent's own log.
    agent_cfg = cfg;
    logging_init(nullptr);
    tr_log(1, TR_ERROR, "agent_lock_rundir: another qorv-netagent (%d) is running on %s. Exiting",
           static_cast<int>(holder), cfg->ac_rundir);
    return -1;
}

void agent_start(struct agent_config *cfg) {
    agent_cfg = cfg;
    agent_conf_init();
    sysinit_run();
    tr_log(1, TR_INFO, "qorv-netagent (%d) starting: conf %s, logs %s, run %s",
           static_cast<int>(getpid()), cfg->ac_confdir, cfg->ac_logdir, cfg->ac_rundir);
    if (agent_lock_err != 0)
        tr_log(1, TR_WARN, "agent_lock_rundir: cannot lock %s: %s", cfg->ac_rundir,
               strerror(agent_lock_err));
    agent_stats_publish();
    agent_conf_start();
    agent_net_ignore(agent_conf_ignores_iface);
    agent_net_start(AGENT_NET_SOURCE);
    agent_sockets_start("/proc");
    agent_prom_start(cfg->ac_rundir);
    sig_register(SIGTERM, agent_on_stop_signal);
    sig_register(SIGINT, agent_on_stop_signal);
    sigset_t set = agent_stop_set();
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

int agent_run(void) {
    main_poll(0);
    return agent_stop_signal;
}

void agent_stop(int sig) {
    if (sig != 0)
        tr_log(1, TR_INFO, "qorv-netagent (%d) stopping on signal %d", static_cast<int>(getpid()),
               sig);
    else
        tr_log(1, TR_ERROR, "qorv-netagent (%d) main poll ended, stopping",
               static_cast<int>(getpid()));
    agent_prom_stop();
    agent_sockets_stop();
    agent_net_stop();
    sysfini_run();
}
