// qorv-netmon: starts the agent qorv-netagent and watches it.
//
//   qorv-netmon [-r ROOT] [-p PID]
//
// Start-up: options and paths, the install root's lock, detaching, logging,
// the agent's entry, signals, pid file, agent check, first launch; then the
// loop of npmd_loop.cc, which ends the process.  The command that was typed
// returns only when start-up has succeeded or failed (npmd_report.cc).
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "core/agent_config.h"
#include "core/logging.h"
#include "supervisor/npmd.h"

// Test builds shorten the grace an agent gets between SIGTERM and SIGKILL.
#ifndef NPMD_KILL_GRACE_MS
#define NPMD_KILL_GRACE_MS 10000
#endif

static struct npmd_conf npmd_main_conf;
static struct agent_config npmd_log_cfg;
static char npmd_agent_path[NPM_PATH_MAX];
static char npmd_dest_file[] = "file";

[[noreturn]] static void npmd_fail(const char *msg) {
    tr_log(1, TR_ERROR, "%s", msg);
    exit(1);
}

// Ends start-up after the pid file exists: it goes too.
[[noreturn]] static void npmd_fail_unlink(void) {
    npm_remove_pidfile(npmd_pidfile, npmd_self);
    exit(1);
}

static void npmd_start_logging(struct npmd_conf *c) {
    npmd_log_cfg.ac_dest = npmd_dest_file;
    npmd_log_cfg.ac_logfile = c->nc_logfile;
    npmd_log_cfg.ac_logdir = c->nc_logdir;
    npmd_log_cfg.ac_rundir = c->nc_rundir;
    npmd_log_cfg.ac_homedir = c->nc_homedir;
    agent_cfg = &npmd_log_cfg;
    tr_init();
    tr_log(1, TR_INFO, "Varnix daemon (%d) starting..", static_cast<int>(getpid()));
}

static void npmd_check_agent(struct npm_proc *p) {
    if (npm_program_path(p, npmd_agent_path, sizeof(npmd_agent_path)) != 0) {
        tr_log(1, TR_ERROR, "main: %s%s is longer than %zu bytes. Exiting", p->np_dir, p->np_name,
               NPM_PATH_MAX - 1);
        npmd_fail_unlink();
    }
    if (access(npmd_agent_path, F_OK) != 0) {
        tr_log(1, TR_ERROR, "main: %s doesn't exist. Exiting", npmd_agent_path);
        npmd_fail_unlink();
    }
}

static void npmd_first_launch(struct npm_proc *p) {
    tr_log(1, TR_INFO, "Starting child \"%s\"", npmd_agent_path);
    p->np_start_ns = npmd_sys_ops.no_mono_ns();
    pid_t pid = npmd_spawn(p, npmd_agent_path, true);
    if (pid < 0) {
        if (tr_mask & 1) tr_log(1, TR_ERROR, "main: unable to fork: %s", strerror(errno));
        npmd_fail_unlink();
    }
    tr_log(1, TR_INFO, "main: starting %s (%d)", p->np_name, static_cast<int>(pid));
    p->np_pid = pid;
}

int main(int argc, char **argv) {
    struct npmd_conf *c = &npmd_main_conf;
    // Whole lines, each as soon as it is logged: from the first fork on,
    // standard output is the start-up report's pipe.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    npmd_kill_grace_ms = NPMD_KILL_GRACE_MS;
    if (npmd_conf_init(c) != 0 || npmd_parse_opts(argc, argv, c) != 0)
        npmd_fail("main: options parse error exiting");
    int lock_fd = npmd_lock_rundir(c->nc_rundir, c->nc_pidfile);
    if (lock_fd == -2) exit(1);
    if (npmd_report_open(c->nc_logfile) != 0) {
        if (tr_mask & 1) tr_log(1, TR_ERROR, "main: start-up pipe failed: %s", strerror(errno));
        exit(1);
    }
    if (daemonize(c->nc_homedir, lock_fd) != 0) npmd_fail("Failed to daemonize. Aborting");
    npmd_self = getpid();
    npmd_pidfile = c->nc_pidfile;
    npmd_start_logging(c);

    struct npm_proc *p = &npm_proc_list[0];
    if (npmd_fix_proc_mon_list(c, npm_proc_list, NPM_PROC_COUNT) != 0)
        npmd_fail("main: abs pathname error exiting");
    if (npmd_signals_init() != 0) {
        if (tr_mask & 1) tr_log(1, TR_ERROR, "main: signal setup failed: %s", strerror(errno));
        exit(1);
    }
    if (npm_write_pidfile(c->nc_pidfile) != 0) npmd_fail("main: Failed to write pidfile. Exiting");
    npmd_check_agent(p);
    npmd_first_launch(p);
    npmd_report_up();
    npmd_sup_setup(p, npmd_agent_path, c, &npmd_sys_ops);
    npmd_loop_run();
}
