// Running qorv-netmon and agents as real processes in a temporary install
// root, for the end-to-end tests and the soak.
//
// The daemon is the grandchild of the process the test starts.  The test
// process makes itself a subreaper, so the detached daemon (and anything it
// leaves behind) becomes its child: the daemon's exit status can be read
// with waitpid, and an orphaned agent would show up here too.  Every wait is
// bounded.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/child.h"
#include "support/test_support.h"

namespace nh {

inline std::string bin(const std::string &name) {
    return std::string(QORV_BIN_DIR) + "/" + name;
}

inline bool wait_until(const std::function<bool()> &pred, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline bool alive(pid_t pid) {
    return pid > 0 && (kill(pid, 0) == 0 || errno != ESRCH);
}

// Log lines without their "YYYY-MM-DD HH:MM:SS " stamp.
inline std::vector<std::string> messages(const std::string &text) {
    std::vector<std::string> out;
    for (const std::string &l : qt::split_lines(text))
        out.push_back(l.size() > 20 ? l.substr(20) : l);
    return out;
}

// The messages of the log file at path that begin with prefix.
inline std::vector<std::string> log_lines(const std::string &path, const std::string &prefix) {
    std::vector<std::string> out;
    for (const std::string &l : messages(qt::read_file(path)))
        if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
}

inline long index_of(const std::vector<std::string> &lines, const std::string &s) {
    for (size_t i = 0; i < lines.size(); i++)
        if (lines[i] == s) return static_cast<long>(i);
    return -1;
}

// Collects exit statuses of children, reparented orphans included.  One
// Reaper serves every thread of a test program: waitpid(-1) must not hand
// one thread's child to another.  It must exist before the first daemon
// is started, or that daemon is reparented to init instead of here.
class Reaper {
  public:
    Reaper() : subreaper_(prctl(PR_SET_CHILD_SUBREAPER, 1) == 0) {}
    ~Reaper() {
        for (pid_t pid : started_)
            signal(pid, SIGKILL);
    }
    Reaper(const Reaper &) = delete;
    Reaper &operator=(const Reaper &) = delete;
    bool subreaper() const { return subreaper_; }
    // A pid that was never found (-1) must not reach kill(): it would
    // signal every process.
    void track(pid_t pid) {
        std::lock_guard<std::mutex> g(mu_);
        if (pid > 0) started_.push_back(pid);
    }
    // Waits for pid's end; false on timeout.
    bool wait(pid_t pid, int timeout_ms, int *status = nullptr) {
        return wait_until(
            [&] {
                std::lock_guard<std::mutex> g(mu_);
                reap_locked();
                auto it = exits_.find(pid);
                if (it == exits_.end()) return false;
                if (status) *status = it->second;
                return true;
            },
            timeout_ms);
    }
    bool reaped(pid_t pid) {
        std::lock_guard<std::mutex> g(mu_);
        reap_locked();
        return exits_.count(pid) > 0;
    }
    // Sends sig to pid only while it is a child of this process not yet
    // reaped here: a pid reaped elsewhere may already name another process.
    // Reaping happens under the same lock, so the pid cannot be recycled
    // between the check and the kill.
    bool signal(pid_t pid, int sig) {
        std::lock_guard<std::mutex> g(mu_);
        if (pid <= 0 || exits_.count(pid) > 0) return false;
        siginfo_t si{};
        if (waitid(P_PID, id_t(pid), &si, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
        return kill(pid, sig) == 0;
    }

  private:
    void reap_locked() {
        int st;
        pid_t p;
        while ((p = waitpid(-1, &st, WNOHANG)) > 0)
            exits_[p] = st;
    }
    bool subreaper_;
    std::mutex mu_;
    std::map<pid_t, int> exits_;
    std::vector<pid_t> started_;
};

// A temporary install root with bin, conf, logs, run and home, in the
// directory sub of a fresh temporary directory when sub is given.
class Root {
  public:
    explicit Root(const std::string &sub = "") : base_(sub.empty() ? tmp_.path() : tmp_ / sub) {
        mkdir(base_.c_str(), 0755);
        for (const char *d : {"bin", "conf", "logs", "run", "home"})
            mkdir(dir(d).c_str(), 0755);
    }
    std::string base() const { return base_; }
    std::string root() const { return base_ + "/"; }  // as given with -r
    std::string dir(const std::string &rel) const { return base_ + "/" + rel; }
    std::string pidfile() const { return dir("run/qorv-netmon.pid"); }
    std::string trace() const { return dir("trace"); }
    std::string log() const { return qt::read_file(dir("logs/qorv-netmon.log.0")); }
    std::vector<std::string> log_lines() const { return messages(log()); }
    std::vector<std::string> trace_lines() const { return qt::split_lines(qt::read_file(trace())); }

    // Installs a shell-script agent; TRACE in body stands for the trace file.
    void agent(std::string body, const std::string &path = "") const {
        for (size_t at; (at = body.find("TRACE")) != std::string::npos;)
            body.replace(at, 5, trace());
        std::string p = path.empty() ? dir("bin/qorv-netagent") : path;
        qt::write_file(p, "#!/bin/sh\n" + body + "\n");
        chmod(p.c_str(), 0755);
    }
    // An agent that records "pid args" and its working directory, then runs
    // until SIGTERM or SIGINT, which it records.
    void waiting_agent() const {
        agent(
            "trap 'echo TERM >> TRACE; exit 0' TERM INT\n"
            "echo \"$$ $*\" >> TRACE\npwd >> TRACE\n"
            "while :; do sleep 0.05; done");
    }

  private:
    qt::TempDir tmp_;
    std::string base_;
};

// The pid in a "<prefix>(N)<rest>" log line, or -1.
inline pid_t pid_in_line(const std::vector<std::string> &lines, const std::string &prefix) {
    for (const auto &l : lines)
        if (l.rfind(prefix, 0) == 0) return static_cast<pid_t>(atol(l.c_str() + prefix.size()));
    return -1;
}

// In a forked child: runs av[0] with av as its arguments.
[[noreturn]] inline void exec_args(std::vector<std::string> av) {
    std::vector<char *> argv;
    for (auto &a : av)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

// The built agent started on root's conf and run directories and the log
// directory logdir (root's logs/ when empty), without its echo on standard
// output; before the exec the child runs setup.
inline pid_t start_agent(Reaper &reaper, const Root &root, std::string logdir = "",
                         const std::function<void()> &setup = nullptr) {
    if (logdir.empty()) logdir = root.dir("logs/");
    std::vector<std::string> av = {bin("qorv-netagent"), "-c", root.dir("conf/"), "-l", logdir,
                                   "-r",                 root.dir("run/")};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(open("/dev/null", O_WRONLY), 1);
        if (setup) setup();
        exec_args(av);
    }
    reaper.track(pid);
    return pid;
}

// What "qorv-netctl -r rundir name" prints on standard output.
inline std::string netctl(const std::string &rundir, std::string name) {
    return qt::run_child([&] { exec_args({bin("qorv-netctl"), "-r", rundir, name}); }).out;
}

// A supervisor started in a root.  The command returns once the daemon has
// started the agent or failed; the daemon's and the agent's pids are then
// in its log.
struct Netmon {
    Reaper &reaper;
    Root &root;
    pid_t first = -1;
    int first_status = -1;  // exit status of the command, -1 if it did not end
    std::string out, err;   // its standard output and error
    bool pidfile_at_return = false;
    pid_t daemon = -1;

    Netmon(Reaper &r, Root &rt) : reaper(r), root(rt) {}

    // Runs prog with args, extra "NAME=value" settings in env, and waits
    // for the command (which itself waits up to 10 s for the daemon).
    void run(const std::vector<std::string> &args, const std::string &prog = bin("qorv-netmon"),
             const std::vector<std::string> &env = {}) {
        std::vector<std::string> av{prog};
        av.insert(av.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &a : av)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<char *> envp(env.size());
        for (size_t i = 0; i < env.size(); i++)
            envp[i] = const_cast<char *>(env[i].c_str());
        for (char **e = environ; *e != nullptr; e++)
            envp.push_back(*e);
        envp.push_back(nullptr);
        const std::string o = root.dir("netmon.out"), e = root.dir("netmon.err");
        first = fork();  // nothing below allocates: other threads may hold the heap's lock
        if (first == 0) {
            signal(SIGINT, SIG_DFL);  // whatever the environment ignored
            signal(SIGTERM, SIG_DFL);
            dup2(open(o.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
            dup2(open(e.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        reaper.track(first);
        int st = 0;
        if (reaper.wait(first, 15000, &st)) {
            first_status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            pidfile_at_return = qt::file_exists(root.pidfile());
        }
        out = qt::read_file(o);
        err = qt::read_file(e);
        daemon = pid_in_line(root.log_lines(), "INFO Varnix daemon (");
        reaper.track(daemon);
    }
    pid_t first_agent() const {
        return pid_in_line(root.log_lines(), "INFO main: starting qorv-netagent (");
    }
    bool wait_trace(size_t n, int timeout_ms = 5000) const {
        return wait_until([&] { return root.trace_lines().size() >= n; }, timeout_ms);
    }
    // The daemon's exit status, 128 + signal, or -1 when it did not end in
    // time.
    int wait_exit(int timeout_ms = 5000) {
        int st = 0;
        if (daemon <= 0 || !reaper.wait(daemon, timeout_ms, &st)) return -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    // After the daemon's end: what is wrong with what it left, or "".  The
    // agents must be gone, reaped by it and not orphaned to this process,
    // and the pid file removed.
    std::string unclean_end(const std::vector<pid_t> &agents) {
        std::string why;
        for (pid_t a : agents) {
            if (reaper.reaped(a))
                why += "agent " + std::to_string(a) + " was orphaned, not reaped; ";
            else if (alive(a))
                why += "agent " + std::to_string(a) + " left running; ";
        }
        if (qt::file_exists(root.pidfile())) why += "pid file left behind";
        return why;
    }
};

}  // namespace nh
