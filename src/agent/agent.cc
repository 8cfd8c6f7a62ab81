// agent: start-up, run phase and shut-down of qorv-netagent.
#include "agent/agent.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "core/agent_config.h"
#include "core/logging.h"
#include "core/nmem.h"

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
    // The log file stays unnamed: logging_init names it
    // "<logdir>/qorv-netagent.log".
    if (cfg->ac_dest && cfg->ac_confdir && cfg->ac_logdir && cfg->ac_rundir) return 0;
    tr_log(1, TR_ERROR, "agent_config_fill: out of memory");
    return -1;
}

static sigset_t agent_stop_set(void) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

void agent_block_stop_signals(void) {
    sigset_t set = agent_stop_set();
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

void agent_start(struct agent_config *cfg) {
    agent_cfg = cfg;
    logging_init(nullptr);
    tr_log(1, TR_INFO, "qorv-netagent (%d) starting: conf %s, logs %s, run %s",
           static_cast<int>(getpid()), cfg->ac_confdir, cfg->ac_logdir, cfg->ac_rundir);
}

int agent_run(void) {
    sigset_t set = agent_stop_set();
    for (;;) {
        int sig = sigwaitinfo(&set, nullptr);
        if (sig > 0) return sig;
        if (errno != EINTR) return SIGTERM;
    }
}

void agent_stop(int sig) {
    tr_log(1, TR_INFO, "qorv-netagent (%d) stopping on signal %d", static_cast<int>(getpid()), sig);
}
