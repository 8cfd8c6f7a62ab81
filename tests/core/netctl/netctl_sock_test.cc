// Control socket: what a client receives, bounded headers, misbehaving
// clients, the log dump and a bounded load, over a real socket to the
// server thread of this process.
#include "core/netctl/netctl_sock.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/child.h"
#include "core/logging.h"
#include "core/netctl/sock_fixture.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using namespace sockt;
using clk = std::chrono::steady_clock;

long ms_since(clk::time_point t0) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(clk::now() - t0).count());
}

class NetctlSock : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // One heap arena, so that mallinfo2 sees the server thread's
        // allocations too.
        mallopt(M_ARENA_MAX, 1);
        register_test_tree();
        srv = new server;
        srv->start();
    }
    static void TearDownTestSuite() {
        srv->stop();
        delete srv;
        srv = nullptr;
    }
    void TearDown() override { netctl_set_conn_timeout(NETCTL_CONN_TIMEOUT_MS); }

    static std::vector<reply> q(const std::string &name, uint8_t op, uint8_t flags = 0) {
        return ask(srv->sock, name, op, flags);
    }
    // Sends n raw bytes, closes the sending side and reads the answer.
    static std::vector<reply> raw(const void *bytes, size_t n) {
        int fd = netctl_client_connect(srv->sock.c_str(), 5000);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(send(fd, bytes, n, MSG_NOSIGNAL), ssize_t(n));
        shutdown(fd, SHUT_WR);
        int rc;
        auto out = read_replies(fd, &rc);
        EXPECT_EQ(rc, 0);
        close(fd);
        return out;
    }
    static server *srv;
};
server *NetctlSock::srv;

const std::vector<std::string> whole_tree = {"core.nmem.stats", "core.test.stats.sub",
                                             "core.test.stats", "core.elem",
                                             "big.b0",          "big.b1",
                                             "big.b2",          "big.b3",
                                             "big.b4",          "big.b5",
                                             "big.b6",          "big.b7",
                                             "big.b8",          "big.b9"};

TEST_F(NetctlSock, ReadAndWriteAnswerOneMessageOnALeafAndNothingElsewhere) {
    auto rs = q("core.test.stats.hits", NETCTL_OP_READ);
    ASSERT_EQ(rs.size(), 1u);
    EXPECT_EQ(rs[0].name, "core.test.stats.hits");
    ASSERT_EQ(rs[0].body.size(), 224u);
    EXPECT_STREQ(rs[0].rec(0).kr_name, "hits");
    EXPECT_STREQ(rs[0].rec(0).kr_head, "teststats");
    EXPECT_EQ(rs[0].rec(0).kr_value.u32, 42u);

    rs = q("core.nmem.stats.allocs", NETCTL_OP_READ);
    ASSERT_EQ(rs.size(), 1u);
    ASSERT_EQ(rs[0].body.size(), 224u);
    EXPECT_STREQ(rs[0].rec(0).kr_name, "allocs");
    EXPECT_STREQ(rs[0].rec(0).kr_head, "nmemstats");
    EXPECT_GT(rs[0].rec(0).kr_value.u64, 0u);

    // A variable the head does not have, and the leaf's own name: an empty
    // body.  The write op is answered the same way and writes nothing.
    for (const char *name : {"core.test.stats.nosuch", "core.test.stats"}) {
        rs = q(name, NETCTL_OP_READ);
        ASSERT_EQ(rs.size(), 1u) << name;
        EXPECT_EQ(rs[0].name, name);
        EXPECT_TRUE(rs[0].body.empty()) << name;
    }
    rs = q("core.elem", NETCTL_OP_WRITE);
    ASSERT_EQ(rs.size(), 1u);
    EXPECT_TRUE(rs[0].body.empty());
    EXPECT_EQ(elem_count, 7u);

    // An element leaf reads its one variable.
    rs = q("core.elem", NETCTL_OP_READ);
    ASSERT_EQ(rs.size(), 1u);
    ASSERT_EQ(rs[0].records(), 1u);
    EXPECT_STREQ(rs[0].rec(0).kr_name, "count");
    EXPECT_EQ(rs[0].rec(0).kr_value.u32, 7u);

    // No leaf, unknown names, op 0 and ops above 3: the close alone.
    EXPECT_TRUE(q("core", NETCTL_OP_READ).empty());
    EXPECT_TRUE(q("core", NETCTL_OP_WRITE).empty());
    EXPECT_TRUE(q("nosuch.name", NETCTL_OP_READ).empty());
    EXPECT_TRUE(q("core.test.stats.hits", NETCTL_OP_NONE).empty());
    EXPECT_TRUE(q("core.test.stats.hits", 7).empty());
    EXPECT_TRUE(q("", 7, NETCTL_F_NAMES).empty());
}

TEST_F(NetctlSock, ListWalksLeavesChildrenFirstNamedByTheirPaths) {
    // A leaf answers with all its records, whatever follows its name.
    for (const char *name : {"core.test.stats", "core.test.stats.x", "core.test"}) {
        auto rs = q(name, NETCTL_OP_LIST);
        ASSERT_EQ(rs.size(), 1u) << name;
        EXPECT_EQ(rs[0].name, "core.test.stats");
        ASSERT_EQ(rs[0].records(), size_t(TVARS));
        EXPECT_EQ(rs[0].body.size(), size_t(TVARS) * 224);
        for (int i = 0; i < TVARS; i++)
            EXPECT_STREQ(rs[0].rec(size_t(i)).kr_name, tvars[i].kv_name);
        EXPECT_EQ(rs[0].rec(1).kr_value.u16, 65535);
        EXPECT_EQ(rs[0].rec(2).kr_value.c, 'Q');
        EXPECT_EQ(rs[0].rec(3).kr_value.u64, uint64_t{1} << 40);
    }

    // The whole tree and a subtree: one message per leaf.  An element leaf
    // has nothing to list and answers with an empty body, not with a byte
    // of whatever the buffer held.
    // (Later tests register more; this one sees the tree of the fixture.)
    auto rs = q("", NETCTL_OP_LIST);
    ASSERT_GE(rs.size(), whole_tree.size());
    rs.resize(whole_tree.size());
    EXPECT_THAT(names_of(rs), ElementsAreArray(whole_tree));
    for (const auto &r : rs)
        EXPECT_EQ(r.body.size() % 224, 0u) << r.name;
    EXPECT_EQ(rs[3].body.size(), 0u);
    EXPECT_EQ(rs[13].records(), size_t(BIG_VARS));
    EXPECT_EQ(rs[13].rec(145).kr_value.u64, 9145u);

    EXPECT_THAT(
        names_of(q("core", NETCTL_OP_LIST)),
        ElementsAre("core.nmem.stats", "core.test.stats.sub", "core.test.stats", "core.elem"));
    // A name that goes on where no child matches walks from the deepest
    // node it reached.
    EXPECT_EQ(q("core.te", NETCTL_OP_LIST).size(), 4u);
}

TEST_F(NetctlSock, NamesModeListsOneLevelDown) {
    auto rs = q("core", NETCTL_OP_LIST, NETCTL_F_NAMES);
    ASSERT_EQ(rs.size(), 3u);
    std::vector<std::string> texts;
    for (const auto &r : rs) {
        EXPECT_EQ(r.name, "core");
        EXPECT_EQ(r.body.size(), 224u);
        texts.push_back(r.text());
    }
    EXPECT_THAT(texts, ElementsAre(".nmem.stats", ".test.stats", ".elem"));

    // Parent mode names a node and lists the level that holds it.
    auto prs = q("core.nmem.stats", NETCTL_OP_LIST, NETCTL_F_NAMES | NETCTL_F_PARENT);
    ASSERT_EQ(prs.size(), 3u);
    EXPECT_EQ(prs[1].name, "core");
    EXPECT_EQ(prs[1].text(), ".test.stats");

    rs = q("", NETCTL_OP_LIST, NETCTL_F_NAMES);
    ASSERT_GE(rs.size(), 2u);
    EXPECT_EQ(rs[0].text(), "core");
    EXPECT_EQ(rs[1].text(), "big");
    EXPECT_EQ(rs[1].name, "");
}

TEST_F(NetctlSock, ShortAndUnterminatedHeadersAreReadWithinBounds) {
    // A header cut after its op byte: the rest reads as zero.
    struct netctl_msg m = {};
    strcpy(m.nm_name, "core.test.stats.hits");
    m.nm_op = NETCTL_OP_READ;
    auto rs = raw(&m, 129);
    ASSERT_EQ(rs.size(), 1u);
    EXPECT_EQ(rs[0].rec(0).kr_value.u32, 42u);

    // Cut before the op: op 0, answered by the close alone, at once.
    auto t0 = clk::now();
    EXPECT_TRUE(raw(&m, 20).empty());
    EXPECT_TRUE(raw(&m, 0).empty());
    EXPECT_LT(ms_since(t0), NETCTL_CONN_TIMEOUT_MS);

    // 128 name bytes without a NUL: the variable name is read from the
    // bytes that are there and the response carries all 128.
    std::string name = "core.test.stats.";
    name.resize(NETCTL_NAME_MAX, 'h');
    memcpy(m.nm_name, name.data(), NETCTL_NAME_MAX);
    m.nm_op = NETCTL_OP_READ;
    memset(&m.nm_len, 0xff, sizeof(m.nm_len));
    rs = raw(&m, sizeof(m));
    ASSERT_EQ(rs.size(), 1u);
    EXPECT_EQ(rs[0].name, name);
    EXPECT_TRUE(rs[0].body.empty());
    m.nm_op = NETCTL_OP_LIST;
    rs = raw(&m, sizeof(m));
    ASSERT_EQ(rs.size(), 1u);
    EXPECT_EQ(rs[0].name, "core.test.stats");
}

TEST_F(NetctlSock, ClientsThatHangUpEarlyLeaveTheServerServing) {
    // A send to a closed peer must neither raise SIGPIPE (it would end this
    // process) nor go on walking.
    signal(SIGPIPE, SIG_DFL);
    std::string out = qt::capture_stdout([&] {
        for (int i = 0; i < 5; i++) {
            int fd = netctl_client_connect(srv->sock.c_str(), 5000);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(netctl_client_request(fd, "big", NETCTL_OP_LIST, 0), 0);
            struct netctl_msg m;
            ASSERT_EQ(recv(fd, &m, sizeof(m), MSG_WAITALL), ssize_t(sizeof(m)));
            close(fd);
        }
        // Served after the five.
        auto rs = q("core.test.stats.hits", NETCTL_OP_READ);
        ASSERT_EQ(rs.size(), 1u);
        EXPECT_EQ(rs[0].rec(0).kr_value.u32, 42u);
    });
    // One failed send per hang-up: the walk stopped at the first.
    EXPECT_EQ(qt::count_of(out, "netctl_send_response: "), 5u) << out;
    EXPECT_THAT(out, HasSubstr("Broken pipe"));
}

TEST_F(NetctlSock, SilentAndNonReadingClientsAreCutOffAtTheDeadline) {
    constexpr int timeout = 200;
    netctl_set_conn_timeout(timeout);

    // Connects and sends nothing.  Another client is served once the
    // deadline has passed, and the silent one finds its connection closed.
    int idle = netctl_client_connect(srv->sock.c_str(), 5000);
    ASSERT_GE(idle, 0);
    usleep(20000);
    auto t0 = clk::now();
    EXPECT_EQ(q("core.test.stats.hits", NETCTL_OP_READ).size(), 1u);
    EXPECT_LT(ms_since(t0), 1500);
    char c;
    EXPECT_EQ(recv(idle, &c, 1, 0), 0);
    close(idle);

    // Asks for 320 KiB and never reads.  The server holds the tree lock
    // while it sends; a registration waits for the deadline, not forever.
    int slow = netctl_client_connect(srv->sock.c_str(), 5000);
    ASSERT_GE(slow, 0);
    ASSERT_EQ(netctl_client_request(slow, "big", NETCTL_OP_LIST, 0), 0);
    usleep(50000);
    t0 = clk::now();
    static uint64_t block[1];
    static struct kv_var v = {"one", KV_T_U64, 0, 8, 0, 0, 0};
    static struct kv_head h = {"slowhead", 0, 0, 1, {}, 0, nullptr, &v, nullptr, nullptr, {}};
    EXPECT_EQ(netctl_register_vars("slow.reg.stats", &h, block, 0, nullptr), 0);
    EXPECT_LT(ms_since(t0), 1500);
    EXPECT_EQ(q("slow.reg.stats.one", NETCTL_OP_READ).size(), 1u);

    // What the slow client finally reads is cut short: fewer than the
    // ten big responses, then the close.
    int rc;
    auto rs = read_replies(slow, &rc);
    close(slow);
    EXPECT_LT(rs.size(), size_t(BIG_LEAVES));
}

TEST_F(NetctlSock, EveryDescriptorIsCloseOnExec) {
    // A silent connection keeps the server's end open while we look.
    int idle = netctl_client_connect(srv->sock.c_str(), 5000);
    ASSERT_GE(idle, 0);
    usleep(20000);
    int sockets = 0;
    for (int fd = 0; fd < 1024; fd++) {
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
        sockets++;
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << "descriptor " << fd;
    }
    EXPECT_GE(sockets, 3);  // listening, accepted, ours
    close(idle);
}

TEST_F(NetctlSock, LogDumpWritesEveryVariableByItsFullName) {
    std::string out = qt::capture_stdout([] { EXPECT_EQ(netctl_dump_to_log(), 0); });
    auto has = [&](const std::string &line) {
        return out.find(" INFO " + line + "\n") != std::string::npos;
    };
    EXPECT_TRUE(has("core.test.stats.hits = 42"));
    EXPECT_TRUE(has("core.test.stats.small = 65535"));
    EXPECT_TRUE(has("core.test.stats.letter = Q"));
    EXPECT_TRUE(has("core.test.stats.bytes = 1099511627776"));
    EXPECT_TRUE(has("core.test.stats.label = " + tlabel.substr(0, 63)));
    EXPECT_TRUE(has("core.test.stats.addrs = 10.0.0.1 192.168.1.2"));
    EXPECT_TRUE(has("core.test.stats.nothing = "));
    EXPECT_TRUE(has("core.test.stats.sub.label = "));
    EXPECT_TRUE(has("big.b9.v145 = 9145"));
    EXPECT_THAT(out, HasSubstr("core.nmem.stats.allocs = "));
    EXPECT_EQ(qt::count_of(out, " INFO core.test.stats."), size_t(2 * TVARS));
    EXPECT_EQ(qt::count_of(out, " INFO big.b"), size_t(BIG_LEAVES * BIG_VARS));
    EXPECT_EQ(out.find("core.elem"), std::string::npos);
}

TEST_F(NetctlSock, LoadLeavesNoDescriptorOrMemoryBehind) {
    for (int i = 0; i < 20; i++)
        q("core.test.stats", NETCTL_OP_LIST);
    const int fds0 = count_fds();
    const uint64_t objs0 = n_counter_get(nmem_stats.ns_alloced_objs);
    const size_t heap0 = mallinfo2().uordblks;

    constexpr int clients = 3, rounds = 600, regs = 60;
    std::atomic<int> bad{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < clients; t++) {
        ts.emplace_back([&, t] {
            for (int i = 0; i < rounds; i++) {
                switch ((i + t) % 3) {
                    case 0:  // every record of the head, its string copied
                        if (q("core.test.stats", NETCTL_OP_LIST).size() != 1) bad++;
                        break;
                    case 1:
                        if (q("core.test.stats.label", NETCTL_OP_READ).size() != 1) bad++;
                        break;
                    default:
                        if (q("core", NETCTL_OP_LIST, NETCTL_F_NAMES).size() < 3) bad++;
                }
            }
        });
    }
    // Meanwhile: registrations and statistic updates.
    static uint64_t blocks[regs][1];
    static struct kv_var v = {"n", KV_T_U64, 0, 8, 0, 0, 0};
    static struct kv_head h = {"loadhead", 0, 0, 1, {}, 0, nullptr, &v, nullptr, nullptr, {}};
    for (int i = 0; i < regs; i++) {
        std::string name = "load.r" + std::to_string(i) + ".stats";
        EXPECT_EQ(netctl_register_vars(name.c_str(), &h, blocks[i], 0, nullptr), 0);
        for (int k = 0; k < 1000; k++)
            n_counter_inc(tblock.bytes);
        usleep(1000);
    }
    for (auto &t : ts)
        t.join();
    EXPECT_EQ(bad.load(), 0);
    auto rs = q("load", NETCTL_OP_LIST, NETCTL_F_NAMES);
    EXPECT_EQ(rs.size(), size_t(regs));

    EXPECT_EQ(count_fds(), fds0);
    // Registrations make at most three objects each (two nodes, a leaf);
    // the 1800 requests none.
    EXPECT_LE(n_counter_get(nmem_stats.ns_alloced_objs) - objs0, uint64_t(3 * regs));
    // 1200 of the requests copied the 300-byte label: had the copies been
    // kept, the heap would have grown by 360 KiB or more.
    EXPECT_LT(mallinfo2().uordblks - heap0, size_t(100 * 1024));
}

}  // namespace
