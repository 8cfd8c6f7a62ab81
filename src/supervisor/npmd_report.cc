// npmd_report: start-up's outcome, told to the command that was typed.
//
// The command's own process forks the daemon away and then waits, for a
// bounded time, on a pipe whose write end the daemon holds until start-up
// is over.  Until then the daemon's standard output is that pipe, so the
// log echo (every line, exactly as it goes to the log, and before logging
// is up the only place a line goes) reaches the waiting process, followed
// by one record: "up" once the pid file is written and the agent launched,
// or the status of an exit during start-up.  The waiting process prints
// the ERROR lines, then exits with the daemon's status.
//
// The write end is close-on-exec.  The first agent holds it from its fork
// to its exec, so an exec that fails reports too, and the waiting process,
// which reads to the end of the pipe, never takes an agent that could not
// start for a success.  Later agents never see it.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "core/logging.h"
#include "supervisor/npmd.h"

// Records start with a byte no log line starts with (lines start with
// their time stamp).
#define NPMD_REC "\x1d"

static int npmd_rep_rd = -1;
static int npmd_rep_wr = -1;
static const char *npmd_rep_log;
static struct sigaction npmd_rep_pipe_act;  // SIGPIPE as the command had it

// Moves fd to 3 or above, close-on-exec: 0 to 2 become /dev/null.
static int npmd_rep_high(int fd) {
    if (fd >= 3) return fd;
    int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return high;
}

int npmd_report_open(const char *logfile) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return -1;
    npmd_rep_rd = npmd_rep_high(p[0]);
    npmd_rep_wr = npmd_rep_high(p[1]);
    npmd_rep_log = logfile;
    if (npmd_rep_rd < 0 || npmd_rep_wr < 0) return -1;
    return 0;
}

int npmd_report_fd(void) {
    return npmd_rep_wr;
}

// Writes a record after whatever the echo has sent.
static void npmd_rep_put(const char *rec) {
    fflush(stdout);
    if (npmd_rep_wr < 0) return;
    ssize_t n = write(npmd_rep_wr, rec, strlen(rec));
    (void)n;  // a command that has gone no longer listens
}

void npmd_report_status(int status) {
    char rec[32];
    snprintf(rec, sizeof(rec), NPMD_REC "exit %d\n", status);
    npmd_rep_put(rec);
}

// Every exit during start-up, logging's own included, tells its status.
static void npmd_rep_on_exit(int status, void *) {
    if (npmd_rep_wr >= 0) npmd_report_status(status);
}

void npmd_report_stdout(void) {
    if (npmd_rep_wr < 0) return;
    fflush(stdout);
    dup2(npmd_rep_wr, 1);
}

void npmd_report_child(void) {
    if (npmd_rep_wr < 0) return;
    close(npmd_rep_rd);
    npmd_rep_rd = -1;
    // A command interrupted while it waits must not take the daemon along.
    struct sigaction ign = {};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ign, &npmd_rep_pipe_act);
    on_exit(npmd_rep_on_exit, nullptr);
    npmd_report_stdout();
}

void npmd_report_up(void) {
    if (npmd_rep_wr < 0) return;
    npmd_rep_put(NPMD_REC "up\n");
    dup2(0, 1);  // /dev/null again
    close(npmd_rep_wr);
    npmd_rep_wr = -1;
    sigaction(SIGPIPE, &npmd_rep_pipe_act, nullptr);
}

void npmd_report_exec_begin(void) {
    if (npmd_rep_wr < 0) return;
    dup2(0, 1);
    sigaction(SIGPIPE, &npmd_rep_pipe_act, nullptr);
}

void npmd_report_exec_failed(void) {
    if (npmd_rep_wr < 0) return;
    signal(SIGPIPE, SIG_IGN);
    npmd_report_stdout();
}

static int64_t npmd_rep_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

// What the waiting process has heard so far.
struct npmd_heard {
    bool up;
    int status;  // of a failed start-up, 0 while none was told
};

static void npmd_rep_line(struct npmd_heard *h, const char *line, size_t len) {
    if (len > 0 && line[0] == NPMD_REC[0]) {
        int st = 0;
        if (len >= 3 && memcmp(line + 1, "up", 2) == 0)
            h->up = true;
        else if (sscanf(line + 1, "exit %d", &st) == 1 && st != 0 && h->status == 0)
            h->status = st;
        return;
    }
    // "YYYY-MM-DD HH:MM:SS LEVEL message"
    if (len > 26 && memcmp(line + 20, "ERROR ", 6) == 0) fwrite(line, 1, len, stdout);
}

int npmd_report_wait(int rd, int timeout_ms, const char *logfile) {
    struct npmd_heard h = {false, 0};
    char buf[2 * TR_LINE_MAX];
    size_t have = 0;
    const int64_t deadline = npmd_rep_ms() + timeout_ms;
    for (;;) {
        int64_t left = deadline - npmd_rep_ms();
        struct pollfd pfd = {rd, POLLIN, 0};
        int r = left > 0 ? poll(&pfd, 1, static_cast<int>(left)) : 0;
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) {
            tr_log(1, TR_ERROR, "main: no word from the daemon within %d s; its log is %s.0",
                   timeout_ms / 1000, logfile);
            return 1;
        }
        ssize_t n = r < 0 ? -1 : read(rd, buf + have, sizeof(buf) - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // every writer has gone
        have += static_cast<size_t>(n);
        size_t at = 0;
        for (char *nl; (nl = static_cast<char *>(memchr(buf + at, '\n', have - at))) != nullptr;) {
            size_t end = static_cast<size_t>(nl - buf) + 1;
            npmd_rep_line(&h, buf + at, end - at);
            at = end;
        }
        if (at == 0 && have == sizeof(buf)) at = have;  // no line is this long
        memmove(buf, buf + at, have - at);
        have -= at;
    }
    fflush(stdout);
    if (h.status != 0) return h.status;
    if (h.up) return 0;
    tr_log(1, TR_ERROR, "main: the daemon ended during start-up without a status; its log is %s.0",
           logfile);
    return 1;
}

void npmd_report_parent(void) {
    if (npmd_rep_wr < 0) _exit(0);
    close(npmd_rep_wr);
    npmd_rep_wr = -1;
    int st = npmd_report_wait(npmd_rep_rd, NPMD_REPORT_WAIT_MS, npmd_rep_log);
    fflush(stdout);
    _exit(st);
}
