// npmd_sup: what the loop does when a child ends and on each pass.
//
// All effects on the world (clocks, starting the agent, waiting, stopping)
// go through the operations table given to npmd_sup_setup, so that tests
// drive the decisions with a clock of their own and without processes.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/logging.h"
#include "supervisor/npmd.h"

static struct npm_proc *npmd_proc;
static const char *npmd_path;
static const struct npmd_conf *npmd_conf;
static const struct npmd_ops *npmd_ops;
static uint64_t npmd_pass;

static constexpr int NPM_CORE_TRIES = 3;

// A pause that first makes sure the parent still lives: a wait of the core
// renaming must not hold up stopping when the parent has gone.
static void npmd_sup_pause(int ms) {
    if (npmd_conf->nc_check_parent && npmd_check_parent_process(npmd_conf->nc_parent_pid) != 0)
        return;
    npmd_ops->no_pause_ms(ms);
}

void npmd_sup_setup(struct npm_proc *p, const char *path, const struct npmd_conf *c,
                    const struct npmd_ops *ops) {
    npmd_proc = p;
    npmd_path = path;
    npmd_conf = c;
    npmd_ops = ops;
    npmd_pass = 0;
}

uint64_t npmd_pass_count(void) {
    return npmd_pass;
}

// Renames "core" in the working directory to "core.<name>.<pid>.<time>".
// Returns 0 when renamed.
int npm_rename_core(const char *name, pid_t pid) {
    char core[NPM_CORE_NAME_MAX];
    long now = static_cast<long>(npmd_ops->no_wall());
    int n = snprintf(core, sizeof(core), "core.%s.%d.%ld", name, static_cast<int>(pid), now);
    if (n < 0) {
        if (tr_mask & 1)
            tr_log(1, TR_ERROR, "npm_rename_core: snprintf failed: %s", strerror(errno));
        return -1;
    }
    if (static_cast<size_t>(n) >= sizeof(core)) {
        // A cut name could overwrite an older core of another process.
        tr_log(1, TR_ERROR, "npm_rename_core: core file name too long: core.%s.%d.%ld", name,
               static_cast<int>(pid), now);
        return -1;
    }
    tr_log(1, TR_INFO, "npm_rename_core: creating core file \"%s\"", core);
    for (int i = 0; i < NPM_CORE_TRIES; i++) {
        if (access("core", F_OK) == 0) {
            if (rename("core", core) == 0) return 0;
            if (tr_mask & 1)
                tr_log(1, TR_INFO, "npm_rename_core: Failed to rename core file: %s",
                       strerror(errno));
            return -1;
        }
        if (tr_mask & 1)
            tr_log(1, TR_WARN, "npm_rename_core: access system call failed: %s", strerror(errno));
        npmd_sup_pause(1000);
    }
    tr_log(1, TR_INFO, "Could not rename core file after %d tries", NPM_CORE_TRIES);
    return -1;
}

static void npmd_report_end(struct npm_proc *p, pid_t pid, int status) {
    if (WIFSIGNALED(status)) {
        bool core = WCOREDUMP(status);
        tr_log(1, TR_INFO, "%s(%d) terminated on signal %d%s", p->np_name, static_cast<int>(pid),
               WTERMSIG(status), core ? "(core dumped)" : "(core not dumped)");
        if (core) npm_rename_core(p->np_name, pid);
    } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        tr_log(1, TR_INFO, "%s(%d) exited with exit code %d. Check %s log file for more details",
               p->np_name, static_cast<int>(pid), WEXITSTATUS(status), p->np_name);
    }
}

static enum npm_action npmd_restart(struct npm_proc *p) {
    p->np_restarted = 1;  // before anything below can fail
    pid_t pid = npmd_ops->no_spawn(p, npmd_path);
    if (pid < 0) {
        // The supervisor goes on without an agent until it is stopped; say
        // so rather than look healthy.
        if (tr_mask & 1)
            tr_log(1, TR_ERROR, "npmd_restart: unable to fork %s: %s", p->np_name, strerror(errno));
        return NPM_ACT_NONE;
    }
    p->np_pid = pid;
    p->np_start_ns = npmd_ops->no_mono_ns();
    return NPM_ACT_RESTART;
}

enum npm_action npmd_on_child_exit(pid_t pid, int status) {
    struct npm_proc *p = npmd_proc;
    if (WIFSTOPPED(status) || WIFCONTINUED(status)) return NPM_ACT_NONE;
    if (pid <= 0 || pid != p->np_pid) return NPM_ACT_NONE;  // not the agent: reaped silently
    // The pid is free for the system to reuse from now on: never signal it.
    p->np_pid = 0;
    npmd_report_end(p, pid, status);
    // Read after the core renaming: its waiting counts as time since launch.
    enum npm_action act = npm_next_action(p, npm_end_event(p, npmd_ops->no_mono_ns()));
    if (act == NPM_ACT_STOP) {
        npmd_ops->no_stop();
        return NPM_ACT_STOP;
    }
    return npmd_restart(p);
}

int npmd_check_parent_process(pid_t ppid) {
    if (npmd_ops->no_parent_alive(ppid)) return 0;
    tr_log(1, TR_INFO, "npmd_check_parent_process: Parent process stopped. Exiting.");
    npmd_ops->no_terminate(SIGTERM);
    return -1;
}

void npmd_on_pass(void) {
    npmd_pass++;
    if (npmd_conf->nc_check_parent && npmd_check_parent_process(npmd_conf->nc_parent_pid) != 0)
        return;
    struct npm_proc *p = npmd_proc;
    if (npm_pass_resets(npmd_pass, p, npmd_ops->no_mono_ns()) &&
        npm_next_action(p, NPM_EV_DAY_PASSED) == NPM_ACT_RESET) {
        tr_log(1, TR_INFO, "main: resetting restart count after a day");
        p->np_restarted = 0;
    }
}

void npmd_on_reload(void) {
    struct npm_proc *p = npmd_proc;
    if (p->np_pid == 0) {
        tr_log(1, TR_INFO, "npmd_reload: SIGHUP ignored, no %s running", p->np_name);
        return;
    }
    if (npmd_ops->no_signal(p->np_pid, SIGHUP) != 0) {
        if (tr_mask & 1)
            tr_log(1, TR_WARN, "npmd_reload: SIGHUP to %s(%d) failed: %s", p->np_name,
                   static_cast<int>(p->np_pid), strerror(errno));
        return;
    }
    tr_log(1, TR_INFO, "npmd_reload: SIGHUP passed on to %s(%d)", p->np_name,
           static_cast<int>(p->np_pid));
}
