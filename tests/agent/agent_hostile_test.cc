// A real qorv-netagent under hostile local clients on its control socket:
// silent connections, half headers, clients that never read or hang up in
// the middle of a walk, connection floods from several processes, and
// request names of every length with and without a terminating NUL.
// Meanwhile a well-behaved client keeps reading a variable.  The agent
// must answer it without waiting for any other connection's deadline, also
// while 200 silent connections are held, keep its descriptors, memory and
// live objects flat from round to round, and stop cleanly afterwards.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <thread>

#include "core/child.h"
#include "core/netctl/sock_fixture.h"
#include "supervisor/netmon_harness.h"

namespace {

using clk = std::chrono::steady_clock;

constexpr int DEADLINE_MS = NETCTL_CONN_TIMEOUT_MS;  // the agent's own
constexpr int SLOW_PER_ROUND = 2;                    // a silent client and a half header
// Fewer connections at once than the agent's slots, so that none is closed
// early to make room.
constexpr int FLOOD_PROCS = 4, FLOOD_CONNS = 50, FLOOD_HOLD_MS = 100;
constexpr int SILENT_HELD = 200;
constexpr int ROUNDS = 3;  // measured, after one that warms the agent up
constexpr int WALKS = 4;   // whole-tree walks per round
constexpr int NAME_MAX_LEN = 140;
// A request name that is a variable at length 28, then longer.
const std::string NAME_PATTERN =
    "core.nmem.stats.alloced_objs" + std::string(NAME_MAX_LEN - 28, 'x');

// Every response on a fresh connection that sends bytes (then ends the
// stream when shut is set); *rc as from read_replies.  *sent_ms: how long
// the sending took from the connect.
std::vector<sockt::reply> raw_request(const std::string &sock, const std::string &bytes, bool shut,
                                      int *rc, long *sent_ms = nullptr) {
    auto t0 = clk::now();
    int fd = netctl_client_connect(sock.c_str(), 10000);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    if (sent_ms != nullptr) *sent_ms = qt::ms_since(t0);
    if (shut) shutdown(fd, SHUT_WR);
    auto rs = sockt::read_replies(fd, rc);
    close(fd);
    return rs;
}

// A request header for the first 128 bytes of name.
std::string header(const std::string &name) {
    struct netctl_msg m = {};
    memcpy(m.nm_name, name.data(), std::min(name.size(), NETCTL_NAME_MAX));
    m.nm_op = NETCTL_OP_READ;
    return std::string(reinterpret_cast<const char *>(&m), sizeof(m));
}

// The variable's value, and in *wait_ms how long the answer took once
// the request was sent.  A request not sent within the connection's
// deadline (a client stalled that long by a loaded machine) may go
// unanswered; *stalled then counts it, and only then is no answer right.
uint64_t read_var(const std::string &sock, const char *name, int *stalled = nullptr,
                  long *wait_ms = nullptr) {
    int rc = -1;
    long sent_ms = 0;
    auto t0 = clk::now();
    auto rs = raw_request(sock, header(name), false, &rc, &sent_ms);
    if (wait_ms != nullptr) *wait_ms = qt::ms_since(t0) - sent_ms;
    EXPECT_EQ(rc, 0) << name;
    if (rs.empty() && stalled != nullptr && sent_ms >= DEADLINE_MS) {
        ++*stalled;
        return 0;
    }
    EXPECT_TRUE(rs.size() == 1 && rs[0].body.size() == sizeof(struct kv_record)) << name;
    return rs.size() == 1 && rs[0].records() == 1 ? rs[0].rec(0).kr_value.u64 : 0;
}

// Smallest of a few samples: the agent opens /proc/self/statm for a moment
// once a second.
long agent_fds(pid_t pid) {
    long best = LONG_MAX;
    for (int i = 0; i < 5; i++, usleep(5000))
        best = std::min(best, long(qt::count_entries("/proc/" + std::to_string(pid) + "/fd")));
    return best;
}

long agent_rss_kb(pid_t pid) {
    long pages = 0, resident = 0;
    FILE *f = fopen(("/proc/" + std::to_string(pid) + "/statm").c_str(), "r");
    if (f == nullptr || fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
    if (f != nullptr) fclose(f);
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Every name length 0 .. NAME_MAX_LEN, three ways: a whole header (the name
// NUL-padded below 128 bytes, all 128 bytes and no NUL from there on, and
// any longer rest sent after the header), the bare name bytes, and the name
// bytes with a NUL; the last two end the stream.
void name_sweep(const std::string &sock) {
    for (size_t len = 0; len <= NAME_MAX_LEN; len++) {
        SCOPED_TRACE("name length " + std::to_string(len));
        const std::string name = NAME_PATTERN.substr(0, len);
        const std::string sent = name.substr(0, NETCTL_NAME_MAX);
        int rc = -1;
        auto rs = raw_request(sock, header(name) + name.substr(sent.size()), false, &rc);
        // The agent's tree holds "core.nmem.stats" beside other "core." names
        // below a node "core" without a leaf; a name may end at a dot inside
        // the label ".nmem.stats".
        bool answered = sent == "core.nmem" || sent.rfind("core.nmem.stats", 0) == 0;
        EXPECT_EQ(rs.size(), answered ? 1u : 0u);
        if (answered && rs.size() == 1) {
            EXPECT_EQ(rs[0].name, sent);
            EXPECT_EQ(rs[0].body.size(),
                      sent == "core.nmem.stats.alloced_objs" ? sizeof(struct kv_record) : 0u);
        }
        // Bytes the server did not read make the close a reset.
        EXPECT_TRUE(rc == 0 || (len > NETCTL_NAME_MAX && rc == -ECONNRESET)) << rc;

        // Short headers: the op byte is zero or a name character, so no
        // request is made, and the server does not wait for more.
        for (const std::string &bytes : {name, name + '\0'}) {
            auto t0 = clk::now();
            EXPECT_TRUE(raw_request(sock, bytes, true, &rc).empty()) << bytes.size();
            EXPECT_TRUE(rc == 0 || (bytes.size() > sizeof(struct netctl_msg) && rc == -ECONNRESET))
                << rc;
            EXPECT_LT(qt::ms_since(t0), DEADLINE_MS / 2) << bytes.size();
        }
    }
}

// A flooding process: FLOOD_CONNS connections opened as fast as the
// backlog takes them, held FLOOD_HOLD_MS, closed.  Writes how many the
// backlog took to out.  Only system calls: the parent has threads.
pid_t flooder(const std::string &sock, int out) {
    struct sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    memcpy(sa.sun_path, sock.c_str(), sock.size());
    pid_t pid = fork();
    if (pid != 0) return pid;
    int fds[FLOOD_CONNS], taken = 0;
    for (int i = 0; i < FLOOD_CONNS; i++) {
        fds[i] = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        taken += connect(fds[i], reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)) == 0;
    }
    struct timespec ts = {0, FLOOD_HOLD_MS * 1000000L};
    nanosleep(&ts, nullptr);
    for (int fd : fds)
        close(fd);
    ssize_t w = write(out, &taken, sizeof(taken));
    _exit(w == sizeof(taken) ? 0 : 1);
}

// One round of every kind of hostile client at once; returns how many of
// the floods' connections the backlog took.
int hostile_round(const std::string &sock, nh::Reaper &reaper) {
    // Held open: silent, and half a header, each until its deadline.
    int silent = netctl_client_connect(sock.c_str(), 10000);
    int half = netctl_client_connect(sock.c_str(), 10000);
    EXPECT_EQ(send(half, NAME_PATTERN.data(), 60, MSG_NOSIGNAL), 60);
    // Floods from several processes.
    int pipefd[2];
    EXPECT_EQ(pipe2(pipefd, O_CLOEXEC), 0);
    std::vector<pid_t> floods;
    for (int i = 0; i < FLOOD_PROCS; i++)
        reaper.track(floods.emplace_back(flooder(sock, pipefd[1])));
    // Whole-tree walks that nobody reads yet, and two that will be cut.
    std::vector<int> walks;
    for (int i = 0; i < WALKS; i++) {
        walks.push_back(netctl_client_connect(sock.c_str(), 10000));
        EXPECT_EQ(netctl_client_request(walks.back(), "", NETCTL_OP_LIST, 0), 0);
    }
    name_sweep(sock);

    for (pid_t p : floods)
        EXPECT_TRUE(reaper.wait(p, 10000));
    close(pipefd[1]);
    int taken_all = 0;
    for (int taken; read(pipefd[0], &taken, sizeof(taken)) == sizeof(taken);)
        taken_all += taken;
    close(pipefd[0]);
    // The cut walks read one header and hang up; the others read it all.
    for (int i = 0; i < WALKS; i++) {
        struct netctl_msg m;
        int rc = -1;
        if (i < 2) {
            EXPECT_EQ(recv(walks[i], &m, sizeof(m), MSG_WAITALL), ssize_t(sizeof(m)));
        } else {
            // One leaf per network interface of the host (lo at least),
            // between the agent's own figures and the host-wide totals, and
            // one per application that the host has just now.
            std::vector<std::string> names;
            size_t ifs = 0;
            for (const auto &r : sockt::read_replies(walks[i], &rc)) {
                bool iface = r.name.rfind("agent.net.", 0) == 0 && r.name.ends_with(".stats");
                bool app = r.name.rfind("agent.apps.", 0) == 0 && r.name.ends_with(".stats");
                ifs += iface;
                if (!iface && !app) names.push_back(r.name);
            }
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(names, (std::vector<std::string>{"core.nmem.stats", "core.ftimer.stats", "core.kv_metrics.stats",
                                 "core.kv_metadata.stats", "core.kv_metadata.store.stats",
                                 "agent.proc.stats", "agent.config", "agent.host.net",
                                 "agent.sockets.stats"}));
            EXPECT_GE(ifs, 1u);
        }
        close(walks[i]);
    }
    for (int fd : {silent, half}) {
        char b;
        EXPECT_EQ(recv(fd, &b, 1, 0), 0);  // closed by the server at its deadline
        close(fd);
    }
    return taken_all;
}

// Starts the agent in root, with at most nofile descriptors when given;
// its pid once the last block of its start-up is served, or -1.
pid_t start_served_agent(nh::Reaper &reaper, const nh::Root &root, rlim_t nofile = 0) {
    const std::string sock = root.dir("run/") + NETCTL_SOCK_NAME;
    // The host's sockets come and go with other programs, and the agent's
    // objects with them: one scan at start-up, none during the rounds.
    qt::write_file(root.dir("conf/qorv-netagent.conf"), "agent.scan_interval_ms = 60000\n");
    pid_t pid = nh::start_agent(reaper, root, "", [nofile] {
        struct rlimit rl = {nofile, nofile};
        if (nofile > 0) setrlimit(RLIMIT_NOFILE, &rl);
    });
    bool up = nh::wait_until(
        [&] {
            int fd = netctl_client_connect(sock.c_str(), 1000);
            if (fd >= 0) close(fd);
            return fd >= 0 && sockt::ask(sock, "agent.sockets.stats", NETCTL_OP_LIST).size() == 1;
        },
        5000);
    return up ? pid : -1;
}

TEST(AgentHostile, ServesWellBehavedClientsAndStaysFlatUnderHostileOnes) {
    nh::Reaper reaper;
    nh::Root root;
    const std::string sock = root.dir("run/") + NETCTL_SOCK_NAME;
    const pid_t pid = start_served_agent(reaper, root);
    ASSERT_GT(pid, 0);

    // A well-behaved client reads a variable all along.
    std::atomic<bool> stop{false};
    std::vector<long> waits;  // the probe thread's until it is joined
    int stalled = 0;
    std::thread probe([&] {
        while (!stop.load()) {
            long ms = 0;
            read_var(sock, "core.nmem.stats.alloced_objs", &stalled, &ms);
            waits.push_back(ms);
            usleep(20000);
        }
    });

    int flood_taken = hostile_round(sock, reaper);  // warms the agent up
    const long fds0 = agent_fds(pid), rss0 = agent_rss_kb(pid);
    const uint64_t objs0 = read_var(sock, "core.nmem.stats.alloced_objs");
    long fds_max = fds0, rss_max = rss0;
    uint64_t objs_max = objs0;
    for (int r = 0; r < ROUNDS; r++) {
        flood_taken += hostile_round(sock, reaper);
        fds_max = std::max(fds_max, agent_fds(pid));
        rss_max = std::max(rss_max, agent_rss_kb(pid));
        objs_max = std::max(objs_max, read_var(sock, "core.nmem.stats.alloced_objs"));
    }
    // Silent connections held by the hundred: a read does not wait for
    // them (one after another, their deadlines would take minutes), and
    // each is closed at its own deadline.
    std::vector<int> silent;
    for (int i = 0; i < SILENT_HELD; i++)
        silent.push_back(netctl_client_connect(sock.c_str(), 10000));
    long held_ms = 0;
    read_var(sock, "agent.proc.stats.uptime_s", nullptr, &held_ms);
    for (int fd : silent) {
        char b;
        EXPECT_EQ(recv(fd, &b, 1, 0), 0);
        close(fd);
    }
    stop = true;
    probe.join();
    std::sort(waits.begin(), waits.end());
    const long worst_ms = waits.empty() ? -1 : waits.back();
    const long median_ms = waits.empty() ? -1 : waits[waits.size() / 2];

    const int flood_tried = (ROUNDS + 1) * FLOOD_PROCS * FLOOD_CONNS;
    const int hostile = flood_tried + (ROUNDS + 1) * (3 * (NAME_MAX_LEN + 1) + 2 + WALKS);
    printf(
        "%d hostile connections over %d rounds (%d flooding attempts, %d taken); %zu "
        "well-behaved reads, median %ld ms, worst %ld ms, %d stalled before sending; a read "
        "with %d silent connections held %ld ms; descriptors %ld -> %ld; resident %ld -> %ld "
        "KiB; live objects %lu -> %lu\n",
        hostile, ROUNDS + 1, flood_tried, flood_taken, waits.size(), median_ms, worst_ms, stalled,
        SILENT_HELD, held_ms, fds0, fds_max, rss0, rss_max, (unsigned long)objs0,
        (unsigned long)objs_max);
    RecordProperty("worst_read_ms", int(worst_ms));

    // No read waits for another connection's deadline (one after another,
    // the silent client and the half header alone would take two); the
    // bound is one, as slack for a loaded machine.
    EXPECT_LT(worst_ms, DEADLINE_MS);
    EXPECT_GE(waits.size(), size_t(ROUNDS + 1));
    EXPECT_EQ(fds_max, fds0);
    EXPECT_EQ(objs_max, objs0);
#ifndef QORV_SANITIZED
    EXPECT_LE(rss_max - rss0, 256);  // KiB; the heap may round a page or two
#else
    // The sanitizer's quarantine and stack frames grow resident memory by
    // themselves; its leak check at the agent's exit stands in (a report
    // makes the exit status non-zero).
#endif

    // Every slow client was cut off at its deadline, and nothing crashed.
    ASSERT_TRUE(nh::alive(pid));
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    int st = 0;
    ASSERT_TRUE(reaper.wait(pid, 5000, &st));
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    // The first failures one by one, the rest as counts (the last told at
    // the stop): the log is not flooded, and no failure goes untold.
    const std::string log = qt::read_file(root.dir("logs//qorv-netagent.log.0"));
    const size_t each = qt::count_of(log, " ERROR netctl_recv_request: Connection timed out\n");
    size_t counted = 0;
    for (size_t at = 0; (at = log.find(" ERROR netctl_recv_request: ", at)) != std::string::npos;) {
        at += 28;
        unsigned n = 0;
        if (sscanf(log.c_str() + at, "%u more failures in the last 10 s", &n) == 1) counted += n;
    }
    EXPECT_EQ(each, size_t(NETCTL_FAIL_BURST));
    EXPECT_EQ(each + counted, size_t(SLOW_PER_ROUND * (ROUNDS + 1) + SILENT_HELD));
    EXPECT_EQ(qt::count_of(log, "[panic]"), 0u);
}

// Out of descriptors (an agent allowed 64): the connections it cannot
// take are closed at once, not left waiting; one ERROR line says so, not
// one per retry; and once the clients have gone it serves again.
TEST(AgentHostile, OutOfDescriptorsClosesWaitingClientsOnceLoggedAndRecovers) {
    nh::Reaper reaper;
    nh::Root root;
    const std::string sock = root.dir("run/") + NETCTL_SOCK_NAME;
    const pid_t pid = start_served_agent(reaper, root, 64);
    ASSERT_GT(pid, 0);
    std::vector<int> held;
    for (int i = 0; i < 80; i++)
        held.push_back(netctl_client_connect(sock.c_str(), 3000));
    // The last ones found no descriptor: closed before any deadline
    // passed (no connection has timed out yet).
    char b;
    EXPECT_EQ(recv(held.back(), &b, 1, 0), 0);
    const std::string agent_log = root.dir("logs//qorv-netagent.log.0");
    EXPECT_EQ(qt::count_of(qt::read_file(agent_log), "Connection timed out"), 0u);
    for (int fd : held)
        close(fd);
    EXPECT_TRUE(nh::wait_until(
        [&] {
            int fd = netctl_client_connect(sock.c_str(), 1000);
            bool ok =
                fd >= 0 &&
                netctl_client_request(fd, "agent.proc.stats.uptime_s", NETCTL_OP_READ, 0) == 0 &&
                sockt::read_replies(fd).size() == 1;
            if (fd >= 0) close(fd);
            return ok;
        },
        5000));
    const std::string log = qt::read_file(agent_log);
    EXPECT_EQ(qt::count_of(log, " ERROR netctl_threadfn: Too many open files(24)\n"), 1u) << log;
    ASSERT_TRUE(reaper.signal(pid, SIGTERM));
    int st = 0;
    ASSERT_TRUE(reaper.wait(pid, 5000, &st));
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
}

}  // namespace
