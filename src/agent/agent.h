// qorv-netagent: the network-monitoring agent that qorv-netmon starts and
// watches.
//
//   qorv-netagent -c CONFDIR -l LOGDIR -r RUNDIR
//
// It fills its configuration record from the command line, starts the core
// modules (logging into LOGDIR/qorv-netagent.log.0, the control socket
// RUNDIR/qorv-netctl.sock), publishes a block of its own process statistics
// as "agent.proc.stats", and runs the main poll until SIGTERM or SIGINT;
// then it stops the modules and exits 0.
#pragma once

#include <cstdint>

struct agent_config;

struct agent_args {
    const char *aa_confdir;
    const char *aa_logdir;
    const char *aa_rundir;
};

// The statistics the agent publishes about itself.
struct agent_stats {
    uint64_t as_rss_kb;       // resident memory, KiB
    uint64_t as_uptime_s;     // seconds since start-up
    uint64_t as_poll_passes;  // main poll iterations so far
};

// Reads -c, -l and -r; all three are required.  Logs and returns -1 on a
// bad command line.
int agent_parse_args(int argc, char **argv, struct agent_args *a);
// Fills cfg from the arguments: destination "file"; logging_init names the
// log file "<logdir>/qorv-netagent.log".  Returns -1 when memory runs out.
int agent_config_fill(const struct agent_args *a, struct agent_config *cfg);
// Blocks the stop signals, so that one sent during start-up is not lost.
void agent_block_stop_signals(void);
// One agent per run directory: takes the lock of cfg's control socket
// (netctl_sock_lock) for the agent's life, before anything binds the
// socket.  When another agent holds it, logs ERROR "agent_lock_rundir:
// another qorv-netagent (PID) is running on RUNDIR. Exiting" to the log
// file and returns -1: the agent must end.  A lock that cannot be made at
// all (run directory missing or not writable) is told by agent_start and
// does not stop the agent.
int agent_lock_rundir(struct agent_config *cfg);
// Makes cfg current, starts the core modules, publishes the statistics and
// takes over the stop signals (then unblocked).
void agent_start(struct agent_config *cfg);
// Runs the main poll until a stop signal arrives; returns its number, or 0
// when the poll ended for another reason.
int agent_run(void);
// Logs the stop line and stops the core modules.
void agent_stop(int sig);
// Brings the statistics block up to date (the periodic callout's work).
void agent_stats_update(void);
const struct agent_stats *agent_stats_block(void);
