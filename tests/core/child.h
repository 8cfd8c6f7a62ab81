// Helpers of the runtime tests: running code in a child process, and
// capturing what code echoes to standard output (where log lines go before
// logging is set up).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "support/test_support.h"

namespace qt {

inline std::string capture_stdout(const std::function<void()> &fn) {
    fflush(stdout);
    FILE *tmp = tmpfile();
    int saved = dup(STDOUT_FILENO);
    dup2(fileno(tmp), STDOUT_FILENO);
    fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string out;
    rewind(tmp);
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof(buf), tmp)) > 0;)
        out.append(buf, n);
    fclose(tmp);
    return out;
}

inline size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t p = 0; (p = text.find(what, p)) != std::string::npos; p += what.size())
        n++;
    return n;
}

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

// Runs fn in a child (no core files; standard output and error kept) that
// exits 0 when fn returns; kills it after timeout_ms.  between runs in the
// parent meanwhile.
inline child_result run_child(const std::function<void()> &fn, int timeout_ms = 5000,
                              const std::function<void(pid_t)> &between = nullptr) {
    TempDir dir;
    std::string outp = dir / "out", errp = dir / "err";
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        struct rlimit rl = {0, 0};
        setrlimit(RLIMIT_CORE, &rl);
        dup2(open(outp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
        dup2(open(errp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
        fn();
        fflush(nullptr);
        _exit(0);
    }
    child_result r;
    if (between) between(pid);
    for (int waited = 0; waitpid(pid, &r.status, WNOHANG) != pid; waited++) {
        if (waited >= timeout_ms) {
            kill(pid, SIGKILL);
            waitpid(pid, &r.status, 0);
            r.timed_out = true;
            break;
        }
        usleep(1000);
    }
    r.out = read_file(outp);
    r.err = read_file(errp);
    return r;
}

}  // namespace qt

// A check inside a child: names the failed condition on standard error and
// ends the child with status 3.
#define CHILD_CHECK(cond)                                                           \
    do {                                                                            \
        if (!(cond)) {                                                              \
            fprintf(stderr, "child check failed: %s (line %d)\n", #cond, __LINE__); \
            fflush(nullptr);                                                        \
            _exit(3);                                                               \
        }                                                                           \
    } while (0)
