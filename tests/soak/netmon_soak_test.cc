// Soak of the supervisor: hundreds of qorv-netmon lifetimes, several at a
// time in separate install roots, with scripted agents that end at random
// moments in random ways (exit codes, signals, real core dumps, hangs),
// SIGTERM and SIGINT at random moments (a restart and a core renaming
// included), and parents (-p) that vanish.  After every lifetime: the
// daemon ended with status 0, its pid file is gone, no agent was left
// behind (an orphan would be reaped here, this process being a subreaper),
// every log line is whole and the lines are exactly the ones the scenario
// allows, in order, with nothing after the end.
//
// Off by default (it takes minutes):
//   QORV_SOAK=1 build/bin/soak_netmon_soak_test             all batches
//   QORV_SOAK=1 ctest --test-dir build -R Soak -j2           the same, by ctest
//   QORV_SOAK_SEED=N ...                                      replays a run
//
// The agent is this very program: started with QORV_SOAK_AGENT naming its
// install root, it plays the next line of ROOT/plan before gtest starts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "supervisor/netmon_harness.h"

namespace {

enum soak_act { ACT_EXIT, ACT_SIGNAL, ACT_CORE_HOME, ACT_CORE_AWAY, ACT_HANG };
const char *const act_names[] = {"exit", "signal", "core-home", "core-away", "hang"};

// One launch of the agent: what it does after delay_ms.
struct launch_plan {
    int delay_ms;
    soak_act act;
    int arg;  // exit status or signal
};

/*
 * The agent side.
 */

// Runs before any static object of this program is relied on: plain stdio.
void agent_play(const char *root) {
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

__attribute__((constructor)) void agent_entry() {
    if (const char *root = getenv("QORV_SOAK_AGENT")) {
        agent_play(root);
        _exit(97);
    }
}

/*
 * Processes.  One reaper for every thread, made the subreaper before the
 * first daemon starts (see Soak below).
 */

nh::Reaper &reaper() {
    static nh::Reaper r;
    return r;
}

pid_t spawn_parent() {
    pid_t pid = fork();
    if (pid == 0) {
        for (;;)
            pause();
    }
    return pid;
}

/*
 * Scenarios.
 */

enum soak_kind { KIND_EARLY, KIND_SECOND, KIND_TERM, KIND_PARENT, KIND_COUNT };
const char *const kind_names[] = {"early end", "restart then second end", "SIGTERM/SIGINT",
                                  "parent gone"};

struct scenario {
    soak_kind kind;
    std::vector<launch_plan> launches;
    int stop_sig = 0;  // sent to the daemon stop_ms after the first launch
    int stop_ms = 0;
    int parent_kill_ms = -1;  // -p given; the parent is killed then
    std::string text() const {
        std::string s = kind_names[kind];
        for (const launch_plan &l : launches)
            s += std::string(" | ") + act_names[l.act] + " " + std::to_string(l.arg) + " after " +
                 std::to_string(l.delay_ms) + " ms";
        if (stop_sig)
            s += " | signal " + std::to_string(stop_sig) + " at " + std::to_string(stop_ms);
        if (parent_kill_ms >= 0) s += " | parent killed at " + std::to_string(parent_kill_ms);
        return s;
    }
};

struct rng {
    std::mt19937_64 g;
    int in(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(g); }
    template <class T>
    T pick(std::initializer_list<T> v) {
        return v.begin()[in(0, int(v.size()) - 1)];
    }
};

launch_plan an_end(rng &r, int lo, int hi, bool away) {
    launch_plan l{r.in(lo, hi), ACT_EXIT, 0};
    switch (r.in(0, away ? 5 : 4)) {
        case 0:
            l.arg = r.pick({0, 0, 1, 2, 255});
            break;
        case 1:
        case 2:
            l.act = ACT_SIGNAL;
            l.arg = r.pick({SIGKILL, SIGTERM, SIGUSR1, SIGHUP, SIGQUIT, SIGINT});
            break;
        case 3:
        case 4:
            l.act = ACT_CORE_HOME;
            break;
        default:
            l.act = ACT_CORE_AWAY;
    }
    return l;
}

// Ends "early" stay well inside the two-second window, late ones well past
// it, so that the expected decision does not hang on the machine's load.
constexpr int EARLY_MAX_MS = 1700, LATE_MS = 3300;

scenario make_scenario(rng &r) {
    scenario s;
    int k = r.in(0, 99);
    s.kind = k < 25 ? KIND_EARLY : k < 50 ? KIND_SECOND : k < 78 ? KIND_TERM : KIND_PARENT;
    const launch_plan hang{0, ACT_HANG, 0};
    int variant = r.in(0, 2);
    switch (s.kind) {
        case KIND_EARLY:
            s.launches = {an_end(r, 0, EARLY_MAX_MS, false)};
            break;
        case KIND_SECOND:
            s.launches = {an_end(r, LATE_MS, LATE_MS + 900, true),
                          an_end(r, 0, 2500, r.in(0, 3) == 0)};
            break;
        case KIND_TERM:
            s.stop_sig = r.pick({SIGTERM, SIGINT});
            if (variant == 0) {  // while the agent runs
                s.launches = {hang};
                s.stop_ms = r.in(0, 3000);
            } else if (variant == 1) {  // while the agent is being restarted
                s.launches = {an_end(r, LATE_MS, LATE_MS, false), hang};
                s.stop_ms = LATE_MS + r.in(-40, 80);
            } else {  // while the supervisor waits for a core file
                s.launches = {{LATE_MS, ACT_CORE_AWAY, 0}, hang};
                s.stop_ms = LATE_MS + r.in(150, 2800);
            }
            break;
        default:
            s.launches = variant == 0 ? std::vector<launch_plan>{hang}
                         : variant == 1
                             ? std::vector<launch_plan>{an_end(r, LATE_MS, LATE_MS, false), hang}
                             : std::vector<launch_plan>{{LATE_MS, ACT_CORE_AWAY, 0}, hang};
            s.parent_kill_ms = variant == 0 ? r.in(0, 3000) : LATE_MS + r.in(-100, 2800);
    }
    return s;
}

/*
 * Checks.
 */

const std::regex kLine(
    "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} (INFO|WARN|ERROR) .+");

// The log lines a scenario may produce, in order, when nothing cuts it
// short; pids come from the agents' own trace.
std::vector<std::string> expected_lines(const scenario &s, pid_t daemon, const std::string &root,
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

bool line_matches(const std::string &got, const std::string &want) {
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

outcome run_lifetime(const scenario &s, const std::string &netmon) {
    outcome out;
    nh::Root root;
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
    nh::Netmon nm(reaper(), root);
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
        reaper().signal(daemon, s.stop_sig);
        cut = true;
    }
    if (parent > 0) {
        at(s.parent_kill_ms);
        reaper().signal(parent, SIGKILL);
        reaper().wait(parent, 2000, &st);
        cut = true;
    }
    int dst = -1;
    if (daemon > 0 && !reaper().wait(daemon, 20000, &dst)) {
        out.fail("daemon still running 20 s after the end of its scenario");
        reaper().signal(daemon, SIGKILL);
        reaper().wait(daemon, 2000, &dst);
    } else if (daemon > 0 && !(WIFEXITED(dst) && WEXITSTATUS(dst) == 0)) {
        out.fail("daemon status " + std::to_string(dst));
    }
    if (parent > 0) reaper().signal(parent, SIGKILL);

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
    if (agents.size() > s.launches.size()) out.fail("more launches than the budget allows");

    std::vector<std::string> raw = qt::split_lines(root.log());
    std::vector<std::string> got = nh::messages(root.log());
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

    // A core dumped in home and announced is there under its new name.
    for (size_t i = 0; i < agents.size() && i < s.launches.size(); i++) {
        if (s.launches[i].act != ACT_CORE_HOME) continue;
        std::string pfx = "INFO npm_rename_core: creating core file \"core.qorv-netagent." +
                          std::to_string(agents[i]) + ".";
        for (const std::string &l : got) {
            if (l.compare(0, pfx.size(), pfx) != 0) continue;
            std::string name = l.substr(l.find('"') + 1);
            name.pop_back();  // the closing quote
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

/*
 * The soak.
 */

constexpr int BATCHES = 4, PER_BATCH = 56, CONCURRENT = 8;

uint64_t soak_seed() {
    const char *s = getenv("QORV_SOAK_SEED");
    return s != nullptr ? strtoull(s, nullptr, 0) : 20261206;
}

class Soak : public ::testing::TestWithParam<int> {};

TEST_P(Soak, LifetimesEndCleanlyWithWholeOrderedLogs) {
    if (getenv("QORV_SOAK") == nullptr) GTEST_SKIP() << "set QORV_SOAK=1 to run the soak (minutes)";
    // Every daemon must find this process already its subreaper.
    ASSERT_TRUE(reaper().subreaper());
    const int batch = GetParam();
    const uint64_t seed = soak_seed();
    printf("soak seed %llu (QORV_SOAK_SEED replays it), batch %d\n", (unsigned long long)seed,
           batch);
    std::vector<scenario> plans;
    rng r{std::mt19937_64(seed * 1000003 + uint64_t(batch))};
    for (int i = 0; i < PER_BATCH; i++)
        plans.push_back(make_scenario(r));

    std::atomic<int> next{0};
    std::mutex mu;
    std::vector<std::string> failures;
    int kinds[KIND_COUNT] = {};
    auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int w = 0; w < CONCURRENT; w++)
        workers.emplace_back([&] {
            for (int i; (i = next++) < PER_BATCH;) {
                outcome o = run_lifetime(plans[size_t(i)], nh::bin("qorv-netmon"));
                std::lock_guard<std::mutex> g(mu);
                kinds[plans[size_t(i)].kind]++;
                if (!o.ok) failures.push_back("lifetime " + std::to_string(i) + ": " + o.why);
            }
        });
    for (auto &t : workers)
        t.join();
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    printf("batch %d: %d lifetimes in %.0f s:", batch, PER_BATCH, secs);
    for (int k = 0; k < KIND_COUNT; k++)
        printf(" %s %d,", kind_names[k], kinds[k]);
    printf(" failures %zu\n", failures.size());
    for (const std::string &f : failures)
        ADD_FAILURE() << f;
}

INSTANTIATE_TEST_SUITE_P(Batches, Soak, ::testing::Range(0, BATCHES));

}  // namespace
