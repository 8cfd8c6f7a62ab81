// npmd_loop: the one loop of the supervisor.
//
// SIGTERM, SIGINT, SIGCHLD and SIGHUP are blocked for the daemon's life
// and read from a signalfd.  The loop waits on it with a deadline at the
// next two-second pass, so a termination or a child's end is acted on at
// once, and a child is never reaped before its pid is stored.  Waits
// elsewhere (the core renaming's pauses, the grace period when stopping)
// wait on the same descriptor, so they never delay a termination; a SIGHUP
// they read is kept for the loop, which passes it on to the agent once any
// restart is done.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "core/logging.h"
#include "supervisor/npmd.h"

int npmd_kill_grace_ms = 10000;

static int npmd_sfd = -1;
static sigset_t npmd_orig_mask;
static bool npmd_hup_pending;  // a SIGHUP read and not yet passed on

int npmd_signals_init(void) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGCHLD);
    sigaddset(&set, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &set, &npmd_orig_mask) != 0) return -1;
    npmd_sfd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    return npmd_sfd < 0 ? -1 : 0;
}

static int64_t npmd_mono_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * NPM_NS_PER_S + ts.tv_nsec;
}

static time_t npmd_wall(void) {
    return time(nullptr);
}

static int npmd_parent_alive(pid_t pid) {
    return kill(pid, 0) == 0;
}

// Milliseconds from now to deadline, rounded up; 0 once it has passed.
static int npmd_ms_until(int64_t deadline) {
    int64_t left = deadline - npmd_mono_ns();
    return left <= 0 ? 0 : static_cast<int>((left + 999999) / 1000000);
}

// Waits up to ms for a signal (-1: no limit).  Returns the first signal
// read, SIGTERM or SIGINT before SIGCHLD; 0 when none came.  A SIGHUP only
// sets npmd_hup_pending.
static int npmd_wait_signal(int ms) {
    struct pollfd pfd = {npmd_sfd, POLLIN, 0};
    if (poll(&pfd, 1, ms) <= 0) return 0;
    struct signalfd_siginfo si;
    int got = 0;
    while (read(npmd_sfd, &si, sizeof(si)) == static_cast<ssize_t>(sizeof(si))) {
        int sig = static_cast<int>(si.ssi_signo);
        if (sig == SIGHUP) {
            npmd_hup_pending = true;
            continue;
        }
        if (got == 0 || sig != SIGCHLD) got = sig;
    }
    return got;
}

pid_t npmd_spawn(struct npm_proc *p, const char *path, bool first) {
    const pid_t supervisor = getpid();
    pid_t pid = fork();
    if (pid != 0) return pid;
    // The agent ends with its supervisor, however the supervisor ends:
    // SIGTERM, its normal stop.  A supervisor already gone before the call
    // would never send it, so then the agent is not started at all.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != supervisor) _exit(1);
    // The agent starts with the signal mask the supervisor was given, and
    // SIGHUP blocked: a reload passed on while it starts stays pending
    // until it has a handler and unblocks it, instead of ending it.
    sigset_t mask = npmd_orig_mask;
    sigaddset(&mask, SIGHUP);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    if (first) npmd_report_exec_begin();
    execv(path, p->np_argv);
    int err = errno;
    if (first) {
        npmd_report_exec_failed();  // start-up has failed after all
        if (tr_mask & 1)
            tr_log(1, TR_ERROR, "main: unable to execute %s: %s", p->np_name, strerror(err));
        npm_remove_pidfile(npmd_pidfile, npmd_self);
        npmd_report_status(1);
    }
    _exit(1);
}

static pid_t npmd_respawn(struct npm_proc *p, const char *path) {
    return npmd_spawn(p, path, false);
}

void npmd_pause_ms(int ms) {
    int64_t deadline = npmd_mono_ns() + int64_t{ms} * 1000000;
    for (int left = ms; left > 0; left = npmd_ms_until(deadline)) {
        int sig = npmd_wait_signal(left);
        // A child's end is picked up by the reaping that called this pause.
        if (sig == SIGTERM || sig == SIGINT) npmd_terminate(sig);
    }
}

void npmd_stop(void) {
    npm_remove_pidfile(npmd_pidfile, npmd_self);
    _exit(0);
}

// Reaps every child until none is left.  A child still there grace_ms
// after the SIGTERM is killed.
static void npmd_wait_children(struct npm_proc *p, pid_t agent) {
    int64_t deadline = npmd_mono_ns() + int64_t{npmd_kill_grace_ms} * 1000000;
    bool killed = false;
    for (;;) {
        pid_t r = waitpid(-1, nullptr, WNOHANG);
        if (r > 0 || (r < 0 && errno == EINTR)) continue;
        if (r < 0) return;  // no children left
        int left = killed ? -1 : npmd_ms_until(deadline);
        if (left == 0) {
            tr_log(1, TR_WARN,
                   "npmd_terminate: %s(%d) still running %d ms after SIGTERM, killing it",
                   p->np_name, static_cast<int>(agent), npmd_kill_grace_ms);
            if (agent > 0) kill(agent, SIGKILL);
            killed = true;
            continue;
        }
        npmd_wait_signal(left);  // further SIGTERMs change nothing now
    }
}

// Stops the agent and the supervisor.  No report or restart happens on the
// way out: the loop that would make them is never entered again.
void npmd_terminate(int) {
    struct npm_proc *p = &npm_proc_list[0];
    pid_t agent = p->np_pid;
    if (agent != 0) kill(agent, SIGTERM);
    npmd_wait_children(p, agent);
    npm_remove_pidfile(npmd_pidfile, npmd_self);
    _exit(0);
}

static void npmd_reap(void) {
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0)
        npmd_on_child_exit(pid, status);
}

void npmd_loop_run(void) {
    int64_t next_pass = npmd_mono_ns();
    for (;;) {
        int64_t now = npmd_mono_ns();
        if (now >= next_pass) {
            npmd_on_pass();
            next_pass += NPMD_PASS_NS;
            if (next_pass <= now) next_pass = now + NPMD_PASS_NS;  // no burst after a stall
        }
        int sig = npmd_wait_signal(npmd_ms_until(next_pass));
        if (sig == SIGTERM || sig == SIGINT) npmd_terminate(sig);
        if (sig == SIGCHLD) npmd_reap();
        if (npmd_hup_pending) {
            npmd_hup_pending = false;
            npmd_on_reload();
        }
    }
}

static void npmd_sys_stop(void) {
    npmd_stop();
}
static void npmd_sys_terminate(int sig) {
    npmd_terminate(sig);
}
static int npmd_signal(pid_t pid, int sig) {
    return kill(pid, sig);
}

const struct npmd_ops npmd_sys_ops = {
    npmd_mono_ns,      npmd_wall,     npmd_respawn,       npmd_pause_ms,
    npmd_parent_alive, npmd_sys_stop, npmd_sys_terminate, npmd_signal,
};
