// sig: signal table, dispatcher and fatal-signal handler.
//
// Handlers run on whichever thread receives the signal.  The table's
// handler words are read there and written by sig_register with atomic
// word accesses.  The fatal-signal handler keeps to what a handler that may
// have interrupted malloc or tr_log can do: it never allocates, and it does
// not re-enter tr_log on a thread that is inside it (where the log file's
// lock may be held); there it writes to standard error instead.
#include "core/sig.h"

#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "core/logging.h"
#include "core/sysinit.h"

struct sig_entry {
    int se_signo;
    sig_handler_fn se_handler;
};

static struct sig_entry sig_table[SIG_TABLE_SIZE] = {
    {SIGINT, sig_fatal_handler},  {SIGTERM, sig_fatal_handler}, {SIGHUP, sig_fatal_handler},
    {SIGPIPE, sig_fatal_handler}, {SIGSEGV, sig_fatal_handler}, {SIGABRT, sig_fatal_handler},
    {SIGUSR1, nullptr},
};

static constexpr int BT_MAX_FRAMES = 64;

// Frames of the fatal handler's back-trace are named by backtrace_symbols_fd
// (which does not allocate) into this pipe and read back as log lines.
static int sig_bt_pipe[2] = {-1, -1};
static int sig_bt_busy;
static char sig_bt_text[16384];

static struct sig_entry *sig_find(int signo) {
    for (auto &e : sig_table)
        if (e.se_signo == signo) return &e;
    return nullptr;
}

static sig_handler_fn sig_handler_of(const struct sig_entry *e) {
    return __atomic_load_n(&e->se_handler, __ATOMIC_ACQUIRE);
}

static int sig_install(int signo, void (*fn)(int)) {
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = fn;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    return sigaction(signo, &sa, nullptr);
}

void sig_dispatch(int signo) {
    for (const auto &e : sig_table) {
        if (e.se_signo != signo) continue;
        // An entry without a handler (cleared while the signal was on its
        // way) must not call through null.
        sig_handler_fn h = sig_handler_of(&e);
        if (h != nullptr) h(signo);
        return;
    }
}

void sig_init(void *) {
    // backtrace() loads its unwinder on first use, which allocates; doing it
    // here keeps that out of a handler that may interrupt malloc.
    void *frame[1];
    backtrace(frame, 1);
    if (sig_bt_pipe[0] < 0 && pipe2(sig_bt_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        sig_bt_pipe[0] = sig_bt_pipe[1] = -1;

    for (const auto &e : sig_table) {
        if (sig_handler_of(&e) == nullptr) continue;
        if (sig_install(e.se_signo, sig_dispatch) != 0) {
            int err = errno;
            if (tr_mask & 1)
                tr_log(1, TR_ERROR, "sigaction failed %d, ignoring %s\n", err,
                       strsignal(e.se_signo));
        }
    }
}
SYSINIT(sig_mod, "sig_mod", SI_SUB_SIGNALS, SI_ORDER_FIRST, sig_init, nullptr);

void sig_register(int signo, sig_handler_fn handler) {
    struct sig_entry *e = sig_find(signo);
    if (e == nullptr) return;
    sig_handler_fn old = __atomic_exchange_n(&e->se_handler, handler, __ATOMIC_ACQ_REL);
    int rc = 0;
    if (old == nullptr && handler != nullptr)
        rc = sig_install(signo, sig_dispatch);
    else if (old != nullptr && handler == nullptr)
        rc = sig_install(signo, SIG_DFL);
    if (rc != 0) {
        int err = errno;
        tr_log(1, TR_ERROR, "sigaction failed with err: %d", err);
    }
}

void print_backtrace(void) {
    void *frames[BT_MAX_FRAMES];
    int n = backtrace(frames, BT_MAX_FRAMES);
    char **names = n > 0 ? backtrace_symbols(frames, n) : nullptr;
    if (names == nullptr) return;
    tr_log(1, TR_ERROR, "print_backtrace:");
    for (int i = 0; i < n; i++)
        tr_log(1, TR_ERROR, "%s", names[i]);
    free(names);
}

// Writes a text to standard error with write(2) only.
static void sig_write_err(const char *a, const char *b = "", const char *c = "") {
    for (const char *s : {a, b, c}) {
        size_t len = strlen(s);
        while (len > 0) {
            ssize_t w = write(STDERR_FILENO, s, len);
            if (w <= 0) {
                if (w < 0 && errno == EINTR) continue;
                return;
            }
            s += w;
            len -= static_cast<size_t>(w);
        }
    }
}

// print_backtrace for a signal handler: no allocation.  The frames are named
// through the pipe and logged line by line; where logging is unsafe on this
// thread, or another thread is using the pipe, they go to standard error.
static void sig_backtrace(bool can_log) {
    void *frames[BT_MAX_FRAMES];
    int n = backtrace(frames, BT_MAX_FRAMES);
    if (n <= 0) return;
    if (!can_log || sig_bt_pipe[0] < 0 || __atomic_exchange_n(&sig_bt_busy, 1, __ATOMIC_ACQUIRE)) {
        sig_write_err("print_backtrace:\n");
        backtrace_symbols_fd(frames, n, STDERR_FILENO);
        return;
    }
    char drain[256];
    while (read(sig_bt_pipe[0], drain, sizeof(drain)) > 0) {
    }
    backtrace_symbols_fd(frames, n, sig_bt_pipe[1]);
    size_t len = 0;
    ssize_t r;
    while (len < sizeof(sig_bt_text) - 1 &&
           (r = read(sig_bt_pipe[0], sig_bt_text + len, sizeof(sig_bt_text) - 1 - len)) > 0)
        len += static_cast<size_t>(r);
    sig_bt_text[len] = '\0';
    if (len > 0) {
        tr_log(1, TR_ERROR, "print_backtrace:");
        char *line = sig_bt_text;
        while (*line != '\0') {
            char *nl = strchr(line, '\n');
            if (nl != nullptr) *nl = '\0';
            tr_log(1, TR_ERROR, "%s", line);
            if (nl == nullptr) break;
            line = nl + 1;
        }
    }
    __atomic_store_n(&sig_bt_busy, 0, __ATOMIC_RELEASE);
}

void sig_fatal_handler(int signo) {
    // sigdescr_np gives strsignal's text without its translation step, which
    // may allocate.
    const char *name = sigdescr_np(signo);
    if (name == nullptr) name = "Unknown signal";
    // A thread interrupted inside tr_log may hold the log file's lock.
    const bool can_log = !tr_log_busy();
    if (can_log)
        tr_log(1, TR_INFO, "signal %s being processed", name);
    else
        sig_write_err("signal ", name, " being processed\n");
    if (signo == SIGABRT || signo == SIGSEGV) {
        sig_backtrace(can_log);
        fflush(nullptr);
    }
    signal(signo, SIG_DFL);
    raise(signo);
}
