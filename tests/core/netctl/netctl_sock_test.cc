// Control socket over a real socket to the server thread of this process:
// what a client receives, bounded headers, the thread's life, the log dump,
// a bounded load and hostile clients.
#include "core/netctl/netctl_sock.h"
#include "core/netctl/netctl_sock_internal.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <chrono>
#include <thread>

#include "core/child.h"
#include "core/ncounter.h"
#include "core/netctl/netctl_sock_internal.h"
#include "core/netctl/sock_fixture.h"
#include "supervisor/netmon_harness.h"

namespace {

using ::testing::HasSubstr;
using namespace sockt;

// Reads and drops whatever fd receives until the server closes it (false
// when it has not within 3 s).
bool closed_by_server(int fd) {
    struct timeval tv = {3, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    static char buf[65536];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof(buf), 0)) > 0) {
    }
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

class NetctlSock : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        mallopt(M_ARENA_MAX, 1);  // so that mallinfo2 sees the server thread's heap
        register_test_tree();
        srv.start();
    }
    static void TearDownTestSuite() { srv.stop(); }
    void TearDown() override { netctl_set_conn_timeout(NETCTL_CONN_TIMEOUT_MS); }
    static std::vector<reply> q(const std::string &name, uint8_t op, uint8_t flags = 0) {
        return ask(srv.sock, name, op, flags);
    }
    // n raw request bytes, then the end of the stream.
    static std::vector<reply> raw(const void *bytes, size_t n) {
        int fd = netctl_client_connect(srv.sock.c_str(), 5000);
        EXPECT_EQ(send(fd, bytes, n, MSG_NOSIGNAL), ssize_t(n));
        shutdown(fd, SHUT_WR);
        auto out = read_replies(fd);
        close(fd);
        return out;
    }
    static inline server srv;
};

TEST_F(NetctlSock, EachOpAnswersAsTheTableSays) {
    const size_t T = TVARS * 224, N = 8 * 224;  // test and nmem leaves' read-all
    struct row {
        const char *name;
        uint8_t op, flags;
        std::vector<std::string> names;
        std::vector<size_t> sizes;
    } rows[] = {
        // clang-format off
        {"core.test.stats.hits", 1, 0, {"core.test.stats.hits"}, {224}},
        {"core.test.stats.nosuch", 1, 0, {"core.test.stats.nosuch"}, {0}},
        {"core.test.stats", 1, 0, {"core.test.stats"}, {0}},
        {"core.elem", 1, 0, {"core.elem"}, {224}},
        {"core.elem", 2, 0, {"core.elem"}, {0}},
        {"core", 1, 0, {}, {}},
        {"core", 2, 0, {}, {}},
        {"nosuch", 1, 0, {}, {}},
        {"core.test.stats.hits", 0, 0, {}, {}},
        {"core.test.stats.hits", 7, 0, {}, {}},
        {"core.test.stats.x", 3, 0, {"core.test.stats"}, {T}},
        {"core.test", 3, 0, {"core.test.stats"}, {T}},
        // An element leaf lists nothing: an empty body, not one stray byte.
        {"core.elem", 3, 0, {"core.elem"}, {0}},
        {"core", 3, 0, {"core.nmem.stats", "core.test.stats.sub", "core.test.stats", "core.elem"},
         {N, T, T, 0}},
        {"core", 3, NETCTL_F_NAMES, {"core", "core", "core"}, {224, 224, 224}},
        {"core.nmem.stats", 3, NETCTL_F_NAMES | NETCTL_F_PARENT, {"core", "core", "core"}, {}},
        {"", 3, NETCTL_F_NAMES, {"", ""}, {224, 224}},
        // clang-format on
    };
    for (const auto &r : rows) {
        auto rs = q(r.name, r.op, r.flags);
        std::vector<std::string> names;
        std::vector<size_t> sizes;
        for (const auto &x : rs)
            names.push_back(x.name), sizes.push_back(x.body.size());
        EXPECT_EQ(names, r.names) << r.name << " op " << int(r.op);
        if (!r.sizes.empty()) {
            EXPECT_EQ(sizes, r.sizes) << r.name << " op " << int(r.op);
        }
    }

    auto rs = q("core.nmem.stats.allocs", NETCTL_OP_READ);
    ASSERT_EQ(rs.size(), 1u);
    EXPECT_STREQ(rs[0].rec(0).kr_name, "allocs");
    EXPECT_STREQ(rs[0].rec(0).kr_head, "nmemstats");
    // Values and the labels of names mode: the tool test prints them.

    // The whole tree: leaves only, children before parents.
    std::vector<std::string> names;
    for (const auto &x : q("", NETCTL_OP_LIST))
        names.push_back(x.name);
    ASSERT_GE(names.size(), 14u);
    EXPECT_EQ(names[1], "core.test.stats.sub");
    EXPECT_EQ(names[13], "big.b9");
}

// Shorter cuts and names without a NUL, at every length: the agent's
// hostile-client test.
TEST_F(NetctlSock, HeaderCutAfterItsOpReadsTheRestAsZero) {
    struct netctl_msg m = {};
    strcpy(m.nm_name, "core.test.stats.hits");
    m.nm_op = NETCTL_OP_READ;
    auto rs = raw(&m, 129);
    ASSERT_EQ(rs.size(), 1u);
    EXPECT_EQ(rs[0].body.size(), sizeof(struct kv_record));
}

TEST_F(NetctlSock, ThreadLifeSocketFileAndDescriptors) {
    // No socket survives an exec, the server's end of a connection
    // included.
    int idle = netctl_client_connect(srv.sock.c_str(), 5000);
    usleep(20000);
    auto r = qt::run_child([] { execl("/bin/ls", "ls", "-l", "/proc/self/fd", (char *)nullptr); });
    EXPECT_THAT(r.out, HasSubstr(" 0 -> "));
    EXPECT_THAT(r.out, ::testing::Not(HasSubstr("socket:")));
    close(idle);

    // Shut-down ends the thread, and leaves a file that another process has
    // put at the socket's path since; otherwise it removes the socket, even
    // right after a start.  A restart under another umask gives the file
    // mode 0666 and leaves the umask as it was.
    const int threads = qt::count_entries("/proc/self/task");
    ASSERT_EQ(unlink(srv.sock.c_str()), 0);
    qt::write_file(srv.sock, "another's");
    std::string out = qt::echoed([] { srv.stop(); });
    EXPECT_THAT(out, HasSubstr("INFO Netctl module destroyed\n"));
    EXPECT_THAT(out, ::testing::Not(HasSubstr("ERROR")));
    EXPECT_EQ(qt::read_file(srv.sock), "another's");
    unlink(srv.sock.c_str());
    EXPECT_EQ(qt::count_entries("/proc/self/task"), threads - 1);
    // Without a run directory, or with an unusable one, the thread ends.
    // (Run while no server reads agent_cfg.)
    auto thread_with = [](const char *rundir) {
        struct agent_config cfg = {}, *saved = agent_cfg;
        cfg.ac_rundir = const_cast<char *>(rundir);
        agent_cfg = &cfg;
        std::string out = qt::echoed([] { netctl_threadfn(nullptr); });
        agent_cfg = saved;
        return out;
    };
    EXPECT_THAT(thread_with(nullptr), HasSubstr("ERROR netctl_threadfn: Run dir not set.\n"));
    EXPECT_THAT(thread_with("/nonexistent"),
                HasSubstr("ERROR netctl_threadfn: bind error No such file or directory(2)\n"));
    EXPECT_THAT(thread_with(("/tmp/" + std::string(100, 'd')).c_str()),
                HasSubstr("bind error File name too long(36)\n"));

    const int fds = qt::count_entries("/proc/self/fd");
    for (int i = 0; i < 20; i++) {
        netctl_mod_init(nullptr);
        if (i % 2) usleep(100);
        netctl_mod_fini(nullptr);
        EXPECT_FALSE(qt::file_exists(srv.sock));
    }
    EXPECT_EQ(qt::count_entries("/proc/self/fd"), fds);
    mode_t old = umask(027);
    srv.start();
    struct stat st;
    ASSERT_EQ(stat(srv.sock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    EXPECT_EQ(umask(old), 027u);
    EXPECT_EQ(q("core.test.stats.hits", NETCTL_OP_READ).size(), 1u);
}

// No descriptor left that the server may use (its spare one is above the
// limit): the waiting clients stay in the backlog, the server backs off
// instead of spinning, says so once, and serves them once descriptors are
// back.  (With the spare one usable, the agent's hostile test.)
TEST_F(NetctlSock, OutOfDescriptorsNeitherSpinsNorFloodsTheLog) {
    int c[2] = {socket(AF_UNIX, SOCK_STREAM, 0), socket(AF_UNIX, SOCK_STREAM, 0)};
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, srv.sock.c_str());
    struct timespec t0, t1;
    std::string out = qt::echoed([&] {
        struct rlimit old, low;
        getrlimit(RLIMIT_NOFILE, &old);
        low = {3, old.rlim_max};
        setrlimit(RLIMIT_NOFILE, &low);
        for (int fd : c) {
            connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr));
            netctl_client_request(fd, "core.test.stats.hits", NETCTL_OP_READ, 0);
        }
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t0);
        usleep(500000);
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t1);
        setrlimit(RLIMIT_NOFILE, &old);
        // Both served: the server is quiet again when the echo goes off.
        for (int fd : c)
            EXPECT_EQ(read_replies(fd).size(), 1u), close(fd);
    });
    long cpu_us = (t1.tv_sec - t0.tv_sec) * 1000000L + (t1.tv_nsec - t0.tv_nsec) / 1000;
    EXPECT_LT(cpu_us, 150000);
    EXPECT_EQ(qt::count_of(out, "ERROR netctl_threadfn: Too many open files(24)\n"), 1u) << out;

    // The client side says which call failed, without a newline.
    int rc = 0;
    out = qt::echoed([&] { rc = netctl_aunix_connect("/nonexistent/x.sock"); });
    EXPECT_EQ(rc, -ENOENT);
    EXPECT_EQ(out, "netctl_aunix_connect: connect failed: No such file or directory");
}

// The first of a run of failures is logged at once; then one line per
// period tells how many followed, until a period passes without any.
TEST(NetctlRatelog, FirstAtOnceThenACountPerPeriod) {
    constexpr int64_t S = 1000000000;
    struct netctl_ratelog rl = {};
    EXPECT_TRUE(netctl_ratelog_event(&rl, 100 * S));
    for (int i = 0; i < 9; i++)
        EXPECT_FALSE(netctl_ratelog_event(&rl, 100 * S + i * S));
    EXPECT_EQ(netctl_ratelog_next_ns(&rl), 110 * S);
    EXPECT_EQ(netctl_ratelog_due(&rl, 110 * S - 1), 0u);
    // One just past the period, before its count was told, is still in it.
    EXPECT_FALSE(netctl_ratelog_event(&rl, 110 * S));
    EXPECT_EQ(netctl_ratelog_due(&rl, 110 * S), 10u);
    EXPECT_EQ(netctl_ratelog_due(&rl, 120 * S), 0u);  // a quiet period ends the run
    EXPECT_TRUE(netctl_ratelog_event(&rl, 121 * S));
}

// Silent clients cost a slot each, never time: while they are held (their
// deadline far off) a read is answered at once, and once there are more
// of them than slots, each new connection closes the oldest that has not
// sent a whole request, half a header counting as none.
TEST_F(NetctlSock, SilentClientsCostASlotNotTime) {
    netctl_set_conn_timeout(600000);
    std::vector<int> held;
    auto hold = [&](int n) {
        while (n-- > 0)
            held.push_back(netctl_client_connect(srv.sock.c_str(), 5000));
    };
    std::string out = qt::echoed([&] {
        const int fds = qt::count_entries("/proc/self/fd");
        hold(20);
        EXPECT_EQ(send(held[3], "core.test", 9, MSG_NOSIGNAL), 9);
        ASSERT_EQ(q("core.test.stats.hits", NETCTL_OP_READ).size(), 1u);
        hold(NETCTL_CONN_MAX);
        // The first 20 were the oldest.
        for (int i = 0; i < 20; i++)
            EXPECT_TRUE(closed_by_server(held[i])) << i;
        EXPECT_EQ(q("core.test.stats.hits", NETCTL_OP_READ).size(), 1u);
        EXPECT_TRUE(closed_by_server(held[20]));
        for (size_t i = 21; i < held.size(); i++) {
            char b;
            EXPECT_EQ(recv(held[i], &b, 1, MSG_DONTWAIT), -1) << i;
        }
        for (int fd : held)
            close(fd);
        EXPECT_TRUE(
            nh::wait_until([&] { return qt::count_entries("/proc/self/fd") == fds; }, 5000));
    });
    EXPECT_EQ(qt::count_of(out,
                           "WARN netctl_threadfn: 256 connections open, the oldest without "
                           "a whole request closed\n"),
              1u)
        << out;
    EXPECT_THAT(out, ::testing::Not(HasSubstr("ERROR netctl_recv_request")));
}

TEST_F(NetctlSock, LogDumpWritesEveryVariableByItsFullName) {
    std::string out = qt::echoed([] { EXPECT_EQ(netctl_dump_to_log(), 0); });
    for (const std::string &line : std::vector<std::string>{
             "core.test.stats.hits = 42", "core.test.stats.small = 65535",
             "core.test.stats.letter = Q", "core.test.stats.bytes = 1099511627776",
             "core.test.stats.label = " + tlabel.substr(0, 60) + "...",
             "core.test.stats.addrs = 10.0.0.1,192.168.1.2",
             "core.test.stats.nothing = ", "core.test.stats.sub.label = ", "big.b9.v145 = 9145"})
        EXPECT_THAT(out, HasSubstr(" INFO " + line + "\n"));
    EXPECT_EQ(qt::count_of(out, " INFO big.b"), size_t(BIG_LEAVES * BIG_VARS));
    EXPECT_EQ(out.find("core.elem"), std::string::npos);
}

TEST_F(NetctlSock, LoadLeavesNoDescriptorOrMemoryBehind) {
    for (int i = 0; i < 20; i++)
        q("core.test.stats", NETCTL_OP_LIST);

    const int fds = qt::count_entries("/proc/self/fd");
    const uint64_t objs = n_counter_get(nmem_stats.ns_alloced_objs);
    const size_t heap = mallinfo2().uordblks;
    constexpr int regs = 60;
    std::vector<std::thread> ts;
    for (int t = 0; t < 3; t++) {
        ts.emplace_back([t] {
            for (int i = t; i < t + 600; i++) {
                size_t want[] = {1, 1, 3};
                auto rs = i % 3 == 0   ? q("core.test.stats", NETCTL_OP_LIST)
                          : i % 3 == 1 ? q("core.test.stats.label", NETCTL_OP_READ)
                                       : q("core", NETCTL_OP_LIST, NETCTL_F_NAMES);
                EXPECT_EQ(rs.size(), want[i % 3]);
            }
        });
    }
    static uint64_t blocks[regs];
    static struct kv_var v = {"n", KV_T_U64, 0, 8, 0, 0, 0};
    static struct kv_head h = {"loadhead", 0, 0, 1, {}, 0, nullptr, &v, nullptr, nullptr, {}};
    for (int i = 0; i < regs; i++) {
        std::string name = "load.r" + std::to_string(i) + ".stats";
        EXPECT_EQ(netctl_register_vars(name.c_str(), &h, &blocks[i], 0, nullptr), 0);
        for (int k = 0; k < 1000; k++)
            n_counter_inc(tblock.bytes);
        usleep(1000);
    }
    for (auto &t : ts)
        t.join();
    EXPECT_EQ(q("load", NETCTL_OP_LIST, NETCTL_F_NAMES).size(), size_t(regs));
    EXPECT_EQ(qt::count_entries("/proc/self/fd"), fds);
    // At most two nodes and a leaf per registration; none per request.
    EXPECT_LE(n_counter_get(nmem_stats.ns_alloced_objs) - objs, uint64_t(3 * regs));
    // 1200 requests copied the 300-byte label: kept, they would be 360 KiB.
    EXPECT_LT(mallinfo2().uordblks - heap, size_t(100 * 1024));
}

// Strings and address lists never show an address; asked for as text they
// show their values, cut visibly past 63 characters.
TEST_F(NetctlSock, StringsAndAddressListsCarryNoAddressAndComeAsText) {
    for (uint8_t flags : {0, NETCTL_F_TEXT}) {
        auto rs = q("core.test.stats", NETCTL_OP_LIST, flags);
        ASSERT_EQ(rs.size(), 1u);
        std::vector<std::string> texts;
        for (size_t i = 0; i < rs[0].records(); i++) {
            struct kv_record r = rs[0].rec(i);
            unsigned t = kv_value_type(r.kr_type);
            if (t == KV_T_STRING || t == KV_T_IPV4_LIST) {
                EXPECT_EQ(r.kr_value.u64, 0u) << r.kr_name;
                EXPECT_EQ(r.kr_size, t == KV_T_STRING ? 8 : 32);
            }
            texts.push_back(netctl_record_text(&r));
        }
        // Without the flag the rest of the name field is as it was: zero.
        std::vector<std::string> want(TVARS, "");
        if (flags)
            want = {"42", "65535", "Q", std::to_string(tblock.bytes), tlabel.substr(0, 60) + "...",
                    "10.0.0.1,192.168.1.2", ""};
        EXPECT_EQ(texts, want);
    }
    // A string of 63 characters fits whole; one more is cut.
    static std::string s63(63, 'a'), s64 = s63 + "b";
    for (std::string *s : {&s63, &s64}) {
        tsub.label = s->data();
        auto rs = q("core.test.stats.sub.label", NETCTL_OP_READ, NETCTL_F_TEXT);
        ASSERT_EQ(rs.size(), 1u);
        struct kv_record r = rs[0].rec(0);
        EXPECT_STREQ(r.kr_name, "label");
        EXPECT_STREQ(r.kr_head, "teststats");
        EXPECT_EQ(netctl_record_text(&r), s == &s63 ? s63 : s63.substr(0, 60) + "...");
    }
    tsub.label = nullptr;
}

// A registrant's own operations: a read-all that returns 100 bytes, and a
// read whose record points at the module's own string, with a name long
// enough to reach the text area.
char own_string[] = "the module's own";
int own_read(struct netctl_node *, void *data, void *) {
    auto *r = static_cast<struct kv_record *>(data);
    memset(r, 0, sizeof(*r));
    memset(r->kr_name, 'n', 100);
    r->kr_type = KV_T_STRING;
    r->kr_value.str = own_string;
    return int(sizeof(*r));
}
int own_read_all(struct netctl_node *, void *data, void *) {
    for (int i = 0; i < 100; i++)
        static_cast<char *>(data)[i] = char(i);
    return 100;
}
const struct netctl_leaf_ops own_ops = {own_read, nullptr, own_read_all, nullptr};

TEST_F(NetctlSock, RegistrantOperationsAreSentAsTheyReturnAndKeepTheirStrings) {
    static uint32_t dummy;
    ASSERT_EQ(netctl_register_vars("own.stats", &thead, &dummy, 0, &own_ops), 0);
    auto rs = q("own.stats", NETCTL_OP_LIST);
    ASSERT_EQ(rs.size(), 1u);
    ASSERT_EQ(rs[0].body.size(), 100u);
    EXPECT_EQ(rs[0].body[99], 99);
    for (uint8_t flags : {0, NETCTL_F_TEXT}) {
        rs = q("own.stats.x", NETCTL_OP_READ, flags);
        ASSERT_EQ(rs.size(), 1u);
        ASSERT_EQ(rs[0].records(), 1u);
        struct kv_record r = rs[0].rec(0);
        EXPECT_EQ(r.kr_value.u64, 0u);
        EXPECT_EQ(std::string(r.kr_name), flags ? std::string(63, 'n') : std::string(100, 'n'));
        if (flags) {
            EXPECT_STREQ(netctl_record_text(&r), own_string);
        }
    }
    EXPECT_STREQ(own_string, "the module's own");  // neither freed nor written
}

// Hostile local clients, the deadline shortened to T: one that never reads
// a walk larger than a socket buffer (a registration goes through all the
// while: no lock is held while sending) and then hangs up, one that hangs
// up after the first header of that walk, and, open together, one silent,
// one with half a header and one more that never reads.  Each is cut off
// (a send that finds the peer gone or times out, a receive that times
// out), a well-behaved read is answered meanwhile, and nothing is left
// behind.  An answer stops at its bound, after whole responses.
constexpr int T = 200;  // connection deadline, ms

int walk_unread(const std::string &sock) {
    int fd = netctl_client_connect(sock.c_str(), 0);
    EXPECT_EQ(netctl_client_request(fd, "big", NETCTL_OP_LIST, 0), 0);
    return fd;
}

TEST_F(NetctlSock, HostileClientsCostTheTreeNothingAndLeaveNothingBehind) {
    signal(SIGPIPE, SIG_DFL);  // a send to a client that hung up must not end this process
    q("big", NETCTL_OP_LIST);  // first use of the server's resources
    const int fds = qt::count_entries("/proc/self/fd");
    const uint64_t objs = n_counter_get(nmem_stats.ns_alloced_objs);
    std::string out = qt::echoed([&] {
        netctl_set_conn_timeout(10 * T);
        int fd = walk_unread(srv.sock);
        char b;
        ASSERT_EQ(recv(fd, &b, 1, MSG_PEEK), 1);  // the answer is being sent
        usleep(50000);                            // into a full socket buffer by now
        static uint64_t block;
        static struct kv_var v = {"n", KV_T_U64, 0, 8, 0, 0, 0};
        static struct kv_head h = {"sendhead", 0, 0, 1, {}, 0, nullptr, &v, nullptr, nullptr, {}};
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(netctl_register_vars("core.send", &h, &block, 0, nullptr), 0);
        EXPECT_LT(qt::ms_since(t0), 5 * T);  // not the connection's deadline
        close(fd);
        fd = walk_unread(srv.sock);
        struct netctl_msg m;
        EXPECT_EQ(recv(fd, &m, sizeof(m), MSG_WAITALL), ssize_t(sizeof(m)));
        close(fd);

        netctl_set_conn_timeout(T);
        std::vector<int> held = {netctl_client_connect(srv.sock.c_str(), 0),
                                 netctl_client_connect(srv.sock.c_str(), 0), walk_unread(srv.sock)};
        EXPECT_EQ(send(held[1], "core.test", 9, MSG_NOSIGNAL), 9);
        EXPECT_EQ(q("core.test.stats.hits", NETCTL_OP_READ).size(), 1u);
        for (int h : held) {
            EXPECT_TRUE(closed_by_server(h));
            close(h);
        }

        // Three of the ten 32,704-byte leaves fit (each with 136 bytes of
        // its header).
        netctl_set_answer_max(100000);
        auto rs = q("big", NETCTL_OP_LIST);
        netctl_set_answer_max(NETCTL_ANSWER_MAX);
        ASSERT_EQ(rs.size(), 3u);
        EXPECT_EQ(rs[2].name, "big.b2");
        EXPECT_EQ(rs[2].records(), size_t(BIG_VARS));
    });
    // Two hang-ups and a non-reader in a send, two in the receive.
    EXPECT_EQ(qt::count_of(out, "ERROR netctl_send_response: "), 3u) << out;
    EXPECT_EQ(qt::count_of(out, "ERROR netctl_recv_request: Connection timed out\n"), 2u) << out;
    EXPECT_EQ(qt::count_of(out, " Connection timed out\n"), 3u) << out;
    EXPECT_THAT(out, HasSubstr("ERROR netctl_process_request: answer for big cut at 98520 bytes\n"));
    // No descriptor, and no object but the new node and its leaf.
    EXPECT_EQ(qt::count_entries("/proc/self/fd"), fds);
    EXPECT_EQ(n_counter_get(nmem_stats.ns_alloced_objs) - objs, 2u);
}

// In a child process (system calls only: this process has threads), n
// listings of name one after the other; exits 0 when every answer came
// whole, want bytes each.
[[noreturn]] void list_n(const char *sock, const char *name, int n, size_t want) {
    static char buf[65536];
    for (int i = 0; i < n; i++) {
        int fd = netctl_client_connect(sock, 5000);
        if (fd < 0 || netctl_client_request(fd, name, NETCTL_OP_LIST, 0) != 0) _exit(2);
        size_t got = 0;
        ssize_t k;
        while ((k = recv(fd, buf, sizeof(buf), 0)) > 0)
            got += size_t(k);
        close(fd);
        if (got != want) _exit(3);
    }
    _exit(0);
}

// Milliseconds that a child took for n listings of name, all answered.
int64_t child_lists(const std::string &sock, const char *name, int n, size_t want) {
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) list_n(sock.c_str(), name, n, want);
    int st = -1;
    waitpid(pid, &st, 0);
    EXPECT_EQ(st, 0) << n << " listings of " << name;
    return qt::ms_since(t0);
}

// Another process's listings come to their user's share of bytes a second
// and wait for it, never past three quarters of their deadline; this
// process's own (the agent's writers) do not count.
TEST_F(NetctlSock, AUsersListingsWaitForItsShare) {
    const char *name = "core.test.stats";
    size_t want = 0;
    for (const auto &r : q(name, NETCTL_OP_LIST))
        want += sizeof(struct netctl_msg) + r.body.size();
    // Ten answers a second: the first ten go at once, ten more take about
    // a second.
    netctl_set_list_share(int64_t(10 * want));
    EXPECT_GE(child_lists(srv.sock, name, 20, want), 800);
    // Almost no share left or growing: each waits 3/4 T, and is answered.
    netctl_set_conn_timeout(T);
    netctl_set_list_share(1);
    EXPECT_GE(child_lists(srv.sock, name, 3, want), 2 * T * 3 / 4);
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; i++)
        ASSERT_EQ(q(name, NETCTL_OP_LIST).size(), 1u);
    EXPECT_LT(qt::ms_since(t0), 20 * T * 3 / 8);
    netctl_set_list_share(NETCTL_LIST_SHARE);
}

}  // namespace
