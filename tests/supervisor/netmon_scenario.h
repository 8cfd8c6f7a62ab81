// Scripted lifetimes of qorv-netmon, for the end-to-end tests and the soak.
//
// A scenario says what each launch of the agent does and when (exit,
// signal, core dump in the home directory or elsewhere, hang), and
// whether the daemon gets SIGTERM or SIGINT, or loses its parent (-p), at
// some moment.  run_lifetime plays it in a fresh install root and checks
// what any lifetime must leave: the daemon ended with status 0, its pid
// file is gone, no agent was left behind, every log line is whole and the
// lines are exactly the ones the scenario allows, in order, with nothing
// after the end; a core dumped in the home directory is there under its
// new name.
//
// The agent is the test program itself: started with QORV_SOAK_AGENT
// naming its install root, it plays the next line of ROOT/plan before
// gtest starts.  Include this header in one file of a test program.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "supervisor/netmon_harness.h"

namespace nh {

enum scene_act { ACT_EXIT, ACT_SIGNAL, ACT_CORE_HOME, ACT_CORE_AWAY, ACT_HANG };
const char *const act_names[] = {"exit", "signal", "core-home", "core-away", "hang"};

// One launch of the agent: what it does after delay_ms.
struct launch_plan {
    int delay_ms;
    scene_act act;
    int arg;  // exit status or signal
};

// Runs before any static object of this program is relied on: plain stdio.
inline void agent_play(const char *root) {
    char path[4096];
    int n = 0;
    snprintf(path, sizeof(path), "%s/count", root);
    if (FILE *f = fopen(path, "r")) {
        if (fscanf(f, "%d", &n) != 1) n = 0;
        fclose(f);
    }
    n++;
    if (FILE *f = fopen(path, "w")) {
        fprintf(f, "%d\n", n);
        fclose(f);
    }
    snprintf(path, sizeof(path), "%s/trace", root);
    if (FILE *f = fopen(path, "a")) {
        fprintf(f, "%d %d\n", int(getpid()), n);
        fclose(f);
    }
    int delay = 0, act = ACT_HANG, arg = 0;
    snprintf(path, sizeof(path), "%s/plan", root);
    if (FILE *f = fopen(path, "r")) {
        for (int i = 0; i < n; i++)
            if (fscanf(f, "%d %d %d", &delay, &act, &arg) != 3) act = ACT_HANG;
        fclose(f);
    }
    signal(SIGTERM, SIG_DFL);  // whatever the environment ignored
    sigset_t all;              // or blocked (the supervisor blocks SIGHUP)
    sigemptyset(&all), sigprocmask(SIG_SETMASK, &all, nullptr);
    usleep(useconds_t(delay) * 1000);
    struct rlimit core = {RLIM_INFINITY, RLIM_INFINITY}, none = {0, 0};
    switch (act) {
        case ACT_EXIT:
            _exit(arg);
        case ACT_SIGNAL:
            setrlimit(RLIMIT_CORE, &none);
            signal(arg, SIG_DFL);
            raise(arg);
            _exit(99);
        case ACT_CORE_AWAY:
            // Dumped elsewhere: the supervisor finds no "core" to rename.
            snprintf(path, sizeof(path), "%s/away", root);
            if (chdir(path) != 0) _exit(98);
            [[fallthrough]];
        case ACT_CORE_HOME:
            setrlimit(RLIMIT_CORE, &core);
            signal(SIGABRT, SIG_DFL);
            abort();
        default:
            for (;;)
                pause();
    }
}

__attribute__((constructor)) inline void agent_entry() {
    if (const char *root = getenv("QORV_SOAK_AGENT")) {
        agent_play(root);
        _exit(97);
    }
}

struct scenario {
    const char *what;
    std::vector<launch_plan> launches;
    int stop_sig = 0;  // sent to the daemon stop_ms after the first launch
    int stop_ms = 0;
    int parent_kill_ms = -1;  // -p given; the parent is killed then
    std::string text() const {
        std::string s = what;
        for (const launch_plan &l : launches)
            s += std::string(" | ") + act_names[l.act] + " " + std::to_string(l.arg) + " after " +
                 std::to_string(l.delay_ms) + " ms";
        if (stop_sig)
            s += " | signal " + std::to_string(stop_sig) + " at " + std::to_string(stop_ms);
        if (parent_kill_ms >= 0) s += " | parent killed at " + std::to_string(parent_kill_ms);
        return s;
    }
};

inline const std::regex kLine(
    "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} (INFO|WARN|ERROR) .+");

// The log lines a scenario may produce, in order, when nothing cuts it
// short; pids come from the agents' own trace.
inline std::vector<std::string> expected_lines(const scenario &s, pid_t daemon,
                                               const std::string &root,
                                               const std::vector<pid_t> &agents) {
    std::vector<std::string> want = {
        "INFO Logging infra initialized...",
        "INFO Varnix daemon (" + std::to_string(daemon) + ") starting..",
        "INFO Starting child \"" + root + "bin/qorv-netagent\"",
    };
    if (!agents.empty())
        want.push_back("INFO main: starting qorv-netagent (" + std::to_string(agents[0]) + ")");
    for (size_t i = 0; i < s.launches.size() && i < agents.size(); i++) {
        const launch_plan &l = s.launches[i];
        std::string who = "INFO qorv-netagent(" + std::to_string(agents[i]) + ")";
        if (l.act == ACT_HANG) break;
        if (l.act == ACT_EXIT && l.arg != 0)
            want.push_back(who + " exited with exit code " + std::to_string(l.arg) +
                           ". Check qorv-netagent log file for more details");
        if (l.act == ACT_SIGNAL)
            want.push_back(who + " terminated on signal " + std::to_string(l.arg) +
                           "(core not dumped)");
        if (l.act == ACT_CORE_HOME || l.act == ACT_CORE_AWAY) {
            want.push_back(who + " terminated on signal 6(core dumped)");
            want.push_back("INFO npm_rename_core: creating core file \"core.qorv-netagent." +
                           std::to_string(agents[i]) + ".*\"");
        }
        if (l.act == ACT_CORE_AWAY) {
            for (int t = 0; t < 3; t++)
                want.push_back(
                    "WARN npm_rename_core: access system call failed: No such file or directory");
            want.push_back("INFO Could not rename core file after 3 tries");
        }
    }
    return want;
}

inline bool line_matches(const std::string &got, const std::string &want) {
    size_t star = want.find(".*\"");
    if (star == std::string::npos) return got == want;
    return got.compare(0, star, want, 0, star) == 0 && got.back() == '"' &&
           got.find('"', star) == got.size() - 1;
}

struct outcome {
    bool ok = true;
    std::string why;
    void fail(const std::string &w) {
        if (ok) why = w;
        ok = false;
    }
};

// A process that waits to be killed: the parent named with -p.
inline pid_t spawn_parent() {
    pid_t pid = fork();
    if (pid == 0) {
        for (;;)
            pause();
    }
    return pid;
}

inline outcome run_lifetime(const scenario &s, Reaper &reaper,
                            const std::string &netmon = bin("qorv-netmon")) {
    outcome out;
    const time_t started = time(nullptr);
    Root root;
    mkdir(root.dir("away").c_str(), 0755);
    std::string plan;
    for (const launch_plan &l : s.launches)
        plan += std::to_string(l.delay_ms) + " " + std::to_string(int(l.act)) + " " +
                std::to_string(l.arg) + "\n";
    qt::write_file(root.dir("plan"), plan);
    std::string self(4096, '\0');
    self.resize(size_t(readlink("/proc/self/exe", self.data(), self.size())));
    if (symlink(self.c_str(), root.dir("bin/qorv-netagent").c_str()) != 0)
        out.fail("no agent link");

    pid_t parent = -1;
    std::vector<std::string> args = {"-r", root.root()};
    if (s.parent_kill_ms >= 0) {
        parent = spawn_parent();
        args.push_back("-p");
        args.push_back(std::to_string(parent));
    }
    int st = 0;
    Netmon nm(reaper, root);
    // The command returns once the agent is launched: both are in the log.
    nm.run(args, netmon, {"QORV_SOAK_AGENT=" + root.base()});
    if (nm.first_status != 0) out.fail("first process status " + std::to_string(nm.first_status));
    const pid_t daemon = nm.daemon, agent1 = nm.first_agent();
    if (daemon <= 0 || agent1 <= 0) out.fail("no daemon or first launch in the log");
    auto t0 = std::chrono::steady_clock::now();
    auto at = [&](int ms) { std::this_thread::sleep_until(t0 + std::chrono::milliseconds(ms)); };

    bool cut = false;  // a termination may have cut the expected lines short
    if (s.stop_sig != 0 && daemon > 0) {
        at(s.stop_ms);
        reaper.signal(daemon, s.stop_sig);
        cut = true;
    }
    if (parent > 0) {
        at(s.parent_kill_ms);
        reaper.signal(parent, SIGKILL);
        reaper.wait(parent, 2000, &st);
        cut = true;
    }
    int dst = -1;
    if (daemon > 0 && !reaper.wait(daemon, 20000, &dst)) {
        out.fail("daemon still running 20 s after the end of its scenario");
        reaper.signal(daemon, SIGKILL);
        reaper.wait(daemon, 2000, &dst);
    } else if (daemon > 0 && !(WIFEXITED(dst) && WEXITSTATUS(dst) == 0)) {
        out.fail("daemon status " + std::to_string(dst));
    }
    if (parent > 0) reaper.signal(parent, SIGKILL);

    // What the agents themselves recorded.
    std::vector<pid_t> agents;
    for (const std::string &l : root.trace_lines())
        agents.push_back(pid_t(atol(l.c_str())));
    // A stop that lands within the agent's first instants kills it before it
    // writes its trace; the supervisor's own line still names it.
    if (agents.empty() && agent1 > 0) agents.push_back(agent1);
    if (!agents.empty() && agents[0] != agent1) out.fail("first agent pid differs from the log");
    std::string unclean = nm.unclean_end(agents);
    if (!unclean.empty()) out.fail(unclean);
    // Every launch the plan makes happens, unless a stop cuts it short.
    if (agents.size() > s.launches.size() || (!cut && agents.size() < s.launches.size()))
        out.fail(std::to_string(agents.size()) + " launches");

    std::vector<std::string> raw = qt::split_lines(root.log());
    std::vector<std::string> got = messages(root.log());
    for (const std::string &l : raw)
        if (!std::regex_match(l, kLine)) out.fail("damaged log line: " + l);
    std::vector<std::string> want = expected_lines(s, daemon, root.root(), agents);
    size_t n = 0;
    while (n < got.size() && n < want.size() && line_matches(got[n], want[n]))
        n++;
    // Only a termination may cut the lines short, and only the parent check
    // may add its own line at the end.
    if (n < got.size() &&
        !(parent > 0 && n + 1 == got.size() &&
          got[n] == "INFO npmd_check_parent_process: Parent process stopped. Exiting."))
        out.fail("unexpected line " + std::to_string(n) + ": " + got[n]);
    if (n < want.size() && !cut) out.fail("missing line: " + want[n]);

    // A core dumped in home and announced is there under its new name,
    // stamped with a time within the lifetime.
    for (size_t i = 0; i < agents.size() && i < s.launches.size(); i++) {
        if (s.launches[i].act != ACT_CORE_HOME) continue;
        std::string pfx = "INFO npm_rename_core: creating core file \"core.qorv-netagent." +
                          std::to_string(agents[i]) + ".";
        for (const std::string &l : got) {
            if (l.compare(0, pfx.size(), pfx) != 0) continue;
            std::string name = l.substr(l.find('"') + 1);
            name.pop_back();  // the closing quote
            long when = atol(l.c_str() + pfx.size());
            if (when < started || when > time(nullptr)) out.fail("core time in " + name);
            if (!qt::file_exists(root.dir("home/" + name))) out.fail("core not renamed to " + name);
        }
    }
    if (!out.ok) {
        out.why += "\n  scenario: " + s.text() + "\n  log:\n";
        for (const std::string &l : raw)
            out.why += "    " + l + "\n";
    }
    return out;
}

}  // namespace nh
