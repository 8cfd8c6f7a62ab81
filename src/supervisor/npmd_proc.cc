// npmd_proc: detaching, the run-directory lock, the pid file.
//
// One supervisor per install root: the first one holds an exclusive flock
// on the run directory from before it detaches until it ends (the lock goes
// with the open file description, so the detached grandchild keeps it).  A
// second one finds the lock taken while it still has the terminal and says
// so there.  Locking the directory rather than the pid file leaves nothing
// on disk when start-up fails early.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/logging.h"
#include "core/utils_unix.h"
#include "supervisor/npmd.h"

pid_t npmd_self;
const char *npmd_pidfile;

int npmd_lock_rundir(const char *rundir, const char *pidfile) {
    int fd = utils_lock_path(rundir, O_RDONLY | O_DIRECTORY);
    if (fd != -2) return fd;
    tr_log(1, TR_ERROR, "main: another qorv-netmon (%d) is running on %s. Exiting",
           static_cast<int>(utils_read_pid(pidfile)), rundir);
    return -2;
}

static bool npmd_kept(long fd, const int *keep, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (keep[i] == fd) return true;
    return false;
}

void npmd_close_fds(const int *keep, size_t n, bool try_range) {
    if (try_range) {
        // The gaps between kept descriptors, lowest first.
        unsigned from = 0;
        bool ok = true;
        while (ok) {
            long next = -1;  // lowest kept descriptor at or above from
            for (size_t i = 0; i < n; i++)
                if (keep[i] >= 0 && unsigned(keep[i]) >= from && (next < 0 || keep[i] < next))
                    next = keep[i];
            if (next < 0) {
                ok = close_range(from, ~0U, 0) == 0;
                break;
            }
            if (unsigned(next) > from) ok = close_range(from, unsigned(next) - 1, 0) == 0;
            from = unsigned(next) + 1;
        }
        if (ok) return;
    }
    long max = sysconf(_SC_OPEN_MAX);
    if (max == -1) max = 1024;
    for (long fd = 0; fd < max; fd++)
        if (!npmd_kept(fd, keep, n)) close(static_cast<int>(fd));
}

// Parent side of a fork while detaching: the child goes on.  The first
// fork's parent is the command that was typed: it waits for the report.
static int npmd_fork_away(bool first) {
    fflush(stdout);  // or the child would print the same echo again
    pid_t pid = fork();
    if (pid < 0) {
        if (tr_mask & 1) tr_log(1, TR_ERROR, "daemonize: unable to fork: %s", strerror(errno));
        return -1;
    }
    if (pid > 0) {
        if (first) npmd_report_parent();
        _exit(0);
    }
    if (first) npmd_report_child();
    return 0;
}

// Standard input, output and error on /dev/null; then the echo goes on
// reaching the waiting command, so even these failures are told.
static int npmd_std_to_null(void) {
    const char *failed = nullptr;
    if (open("/dev/null", O_RDWR) != 0)
        failed = "open";
    else if (dup2(0, 1) != 1 || dup2(0, 2) != 2)
        failed = "dup2";
    int err = errno;
    npmd_report_stdout();
    if (failed == nullptr) return 0;
    if (tr_mask & 1) tr_log(1, TR_ERROR, "daemonize: %s failed: %s", failed, strerror(err));
    return -1;
}

int daemonize(const char *homedir, int keep_fd) {
    if (npmd_fork_away(true) != 0) return -1;
    if (setsid() < 0) {
        if (tr_mask & 1) tr_log(1, TR_ERROR, "daemonize: setsid failed: %s", strerror(errno));
        return -1;
    }
    if (npmd_fork_away(false) != 0) return -1;
    umask(022);
    if (chdir(homedir) != 0) {
        if (tr_mask & 1)
            tr_log(1, TR_ERROR, "daemonize: failed chdir to %s: %s", homedir, strerror(errno));
        return -1;
    }
    fflush(stdout);
    const int keep[] = {keep_fd, npmd_report_fd()};
    npmd_close_fds(keep, 2, true);
    close(0);
    return npmd_std_to_null();
}

int npm_write_pidfile(const char *path) {
    FILE *f = fopen(path, "we");
    if (f == nullptr) {
        if (tr_mask & 1)
            tr_log(1, TR_WARN, "npm_write_pidfile: Failed to open pidfile for writing: %s",
                   strerror(errno));
        return -1;
    }
    int wrote = fprintf(f, "%u\n", static_cast<unsigned>(getpid()));
    // A full disk shows only here: an empty pid file is not a written one.
    if (fclose(f) != 0 || wrote < 0) {
        if (tr_mask & 1)
            tr_log(1, TR_WARN, "npm_write_pidfile: Failed to write pidfile: %s", strerror(errno));
        return -1;
    }
    if (chmod(path, 0644) != 0) {
        if (tr_mask & 1)
            tr_log(1, TR_WARN, "npm_write_pidfile: Failed to change pidfile mode: %s",
                   strerror(errno));
        return -1;
    }
    return 0;
}

int npm_remove_pidfile(const char *path, pid_t owner) {
    pid_t named = utils_read_pid(path);
    if (named != owner) {
        // Another supervisor's file, or the operator's: not ours to remove.
        if (named != 0)
            tr_log(1, TR_WARN, "npm_remove_pidfile: %s names pid %d, not %d; left in place", path,
                   static_cast<int>(named), static_cast<int>(owner));
        return -1;
    }
    return unlink(path);
}
