// Helpers of the runtime tests: code run in a child process.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "support/test_support.h"

namespace qt {

inline size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t p = 0; (p = text.find(what, p)) != std::string::npos; p += what.size())
        n++;
    return n;
}

struct child_result {
    int status = -1;  // -1: killed for taking too long
    std::string out, err;
    bool exited(int code) const {
        return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code;
    }
    bool killed_by(int sig) const {
        return status >= 0 && WIFSIGNALED(status) && WTERMSIG(status) == sig;
    }
};

// Runs fn in a child (no core file, output kept) that exits 0 when fn
// returns, and kills it after timeout_ms; between runs in the parent.
inline child_result run_child(const std::function<void()> &fn, int timeout_ms = 5000,
                              const std::function<void(pid_t)> &between = nullptr) {
    TempDir dir;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        struct rlimit rl = {0, 0};
        setrlimit(RLIMIT_CORE, &rl);
        dup2(open((dir / "out").c_str(), O_WRONLY | O_CREAT, 0644), STDOUT_FILENO);
        dup2(open((dir / "err").c_str(), O_WRONLY | O_CREAT, 0644), STDERR_FILENO);
        fn();
        fflush(nullptr);
        _exit(0);
    }
    child_result r;
    if (between) between(pid);
    for (int ms = 0; waitpid(pid, &r.status, WNOHANG) != pid; ms++, usleep(1000)) {
        if (ms < timeout_ms) continue;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        r.status = -1;
        break;
    }
    r.out = read_file(dir / "out");
    r.err = read_file(dir / "err");
    return r;
}

}  // namespace qt

// A check inside a child: names the failed condition and exits with 3.
#define CHILD_CHECK(cond) \
    ((cond) ? (void)0     \
            : (fprintf(stderr, "child check failed: %s\n", #cond), fflush(nullptr), _exit(3)))
