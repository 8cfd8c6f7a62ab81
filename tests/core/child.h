// Runs a function in a child process with its standard output and error
// in files, and reports how the child ended.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fcntl.h>

#include <functional>
#include <string>

#include "support/test_support.h"

namespace qt {

struct child_result {
    bool timed_out = false;
    int status = 0;
    std::string out, err;
    bool exited(int code) const {
        return !timed_out && WIFEXITED(status) && WEXITSTATUS(status) == code;
    }
    bool killed_by(int sig) const {
        return !timed_out && WIFSIGNALED(status) && WTERMSIG(status) == sig;
    }
};

// The child runs fn and exits 0 when it returns.  No core files are left
// behind.  A child still running after timeout_ms is killed and reported as
// timed out.  between, when given, runs in the parent while the child runs.
inline child_result run_child(const std::function<void()> &fn, int timeout_ms = 5000,
                              const std::function<void(pid_t)> &between = nullptr) {
    TempDir dir;
    std::string outp = dir / "out", errp = dir / "err";
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        struct rlimit rl = {0, 0};
        setrlimit(RLIMIT_CORE, &rl);
        int o = open(outp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(errp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, STDOUT_FILENO);
        dup2(e, STDERR_FILENO);
        close(o);
        close(e);
        fn();
        fflush(nullptr);
        _exit(0);
    }
    child_result r;
    if (between) between(pid);
    for (int waited = 0;; waited++) {
        pid_t w = waitpid(pid, &r.status, WNOHANG);
        if (w == pid) break;
        if (waited >= timeout_ms) {
            kill(pid, SIGKILL);
            waitpid(pid, &r.status, 0);
            r.timed_out = true;
            break;
        }
        struct timespec ms = {0, 1000000};
        nanosleep(&ms, nullptr);
    }
    r.out = read_file(outp);
    r.err = read_file(errp);
    return r;
}

}  // namespace qt

// A check inside a child: reports the failed condition on standard error
// and ends the child with status 3.
#define CHILD_CHECK(cond)                                                           \
    do {                                                                            \
        if (!(cond)) {                                                              \
            fprintf(stderr, "child check failed: %s (line %d)\n", #cond, __LINE__); \
            fflush(nullptr);                                                        \
            _exit(3);                                                               \
        }                                                                           \
    } while (0)
