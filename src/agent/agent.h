// qorv-netagent: the agent program that qorv-netmon starts and watches.
//
//   qorv-netagent -c CONFDIR -l LOGDIR -r RUNDIR
//
// This first agent sets up its configuration record and logging, logs a
// start line, runs until SIGTERM or SIGINT, logs a stop line and exits 0.
// Start-up, the run phase and shut-down are separate steps so that the run
// phase can become the module framework and the main poll.
#pragma once

struct agent_config;

struct agent_args {
    const char *aa_confdir;
    const char *aa_logdir;
    const char *aa_rundir;
};

// Reads -c, -l and -r; all three are required.  Logs and returns -1 on a
// bad command line.
int agent_parse_args(int argc, char **argv, struct agent_args *a);
// Fills cfg from the arguments: log file "<logdir>/qorv-netagent.log",
// destination "file".  Returns -1 when memory runs out.
int agent_config_fill(const struct agent_args *a, struct agent_config *cfg);
// Blocks the stop signals, so that one sent during start-up is not lost.
void agent_block_stop_signals(void);
// Makes cfg current and starts logging; logs the start line.
void agent_start(struct agent_config *cfg);
// Runs until a stop signal arrives; returns its number.
int agent_run(void);
// Logs the stop line.
void agent_stop(int sig);
