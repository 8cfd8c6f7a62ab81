// Event queues: ordering, release and re-posting, exports, the core
// handler, the message table.  A main-poll pass is played by hand: the
// line's pending bit, then event_dispatch.
#include "core/event.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/nmem.h"
#include "core/swi.h"

namespace {

std::vector<std::string> seen;
struct event_queue *repost_into;
struct event *posted_by_handler;

struct tev {
    struct event ev;
    const char *name;
};

void record(struct event_queue *, struct event *ev) {
    seen.push_back(reinterpret_cast<tev *>(ev)->name);
    if (repost_into != nullptr && posted_by_handler != nullptr) {
        event_add(repost_into, posted_by_handler);
        posted_by_handler = nullptr;
    }
}

tev *make(const char *name, uint16_t flags) {
    auto *e = static_cast<tev *>(nmem_alloc(sizeof(tev), NMEM_ZERO));
    e->ev.e_flags = flags;
    e->ev.e_arg = e;  // any non-null payload
    e->name = name;
    return e;
}

// One main-poll pass for the queue's line: false if it was not raised.
bool pass(struct event_queue *q) {
    if (!(swi_pending_mask() & q->eq_swi->sh_mask)) return false;
    *q->eq_swi->sh_pending &= ~q->eq_swi->sh_mask;
    event_dispatch(q);
    return true;
}

TEST(Event, OrderReleaseAndRepostOnePassAtATime) {
    static struct event_queue q = {0, nullptr, record, nullptr, nullptr, {}};
    register_event_queue(&q);
    uint64_t live = nmem_stats.ns_alloced_objs;
    tev *e1 = make("E1", 0), *e2 = make("E2", EV_F_RELEASE_B), *e3 = make("E3", EV_F_HEAD | 0x0100);
    event_add(&q, &e1->ev);
    event_add(&q, &e2->ev);
    event_add(&q, &e3->ev);
    // A post from inside the handler waits for the next pass.
    tev *late = make("late", EV_F_RELEASE_C);
    repost_into = &q;
    posted_by_handler = &late->ev;
    ASSERT_TRUE(pass(&q));
    EXPECT_EQ(seen, (std::vector<std::string>{"E3", "E1", "E2"}));
    // E1 has no release bit: back in the queue, handed over again next pass.
    seen.clear();
    ASSERT_TRUE(pass(&q));
    EXPECT_EQ(seen, (std::vector<std::string>{"late", "E1"}));
    seen.clear();
    e1->ev.e_flags = EV_F_RELEASE_A;
    ASSERT_TRUE(pass(&q));
    EXPECT_EQ(seen, (std::vector<std::string>{"E1"}));
    EXPECT_FALSE(pass(&q));
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live);  // all four freed
    // The emptied queue takes a head post as its only event.
    tev *e4 = make("E4", EV_F_HEAD | EV_F_RELEASE_A), *e5 = make("E5", EV_F_RELEASE_A);
    event_add(&q, &e4->ev);
    event_add(&q, &e5->ev);
    seen.clear();
    ASSERT_TRUE(pass(&q));
    EXPECT_EQ(seen, (std::vector<std::string>{"E4", "E5"}));
    repost_into = nullptr;
}

std::vector<std::pair<int, int>> exported;  // (export type, source)
void exp0(void *state, void *obj, int src) {
    EXPECT_EQ(obj, nullptr);
    exported.push_back({0, src});
    (void)state;
}
void exp4(void *, void *, int src) {
    exported.push_back({4, src});
}

TEST(Event, CoreQueueExportsAndFreesPayloads) {
    struct kv_export k0 = {0, exp0, {}}, k4 = {4, exp4, {}};
    kv_export_register(&k0);
    kv_export_register(&k4);
    event_mod_init(nullptr);
    ASSERT_NE(event_core_queue, nullptr);
    EXPECT_EQ(event_msgs, event_msg_table);
    struct event_queue *q = event_core_queue;
    ASSERT_EQ(q->eq_exports.first()->ke_type, 4);  // highest type first
    EXPECT_EQ(q->eq_exports.next(q->eq_exports.first())->ke_type, 0);
    EXPECT_EQ(q->eq_exports.next(q->eq_exports.next(q->eq_exports.first())), nullptr);

    uint64_t live = nmem_stats.ns_alloced_objs;
    // Payloads of four words; the fourth holds an object or null.
    void **with = static_cast<void **>(nmem_alloc(32, NMEM_ZERO));
    with[3] = nmem_alloc(10, 0);
    void **without = static_cast<void **>(nmem_alloc(32, NMEM_ZERO));
    void **kept = static_cast<void **>(nmem_alloc(32, NMEM_ZERO));
    struct event *evs[3];
    void **payloads[3] = {with, without, kept};
    for (int i = 0; i < 3; i++) {
        evs[i] = static_cast<struct event *>(nmem_alloc(sizeof(struct event), NMEM_ZERO));
        evs[i]->e_arg = payloads[i];
        evs[i]->e_flags = i < 2 ? EV_F_RELEASE_B : 0;
        event_add(q, evs[i]);
    }
    ASSERT_TRUE(pass(q));
    EXPECT_EQ(exported.size(), 6u);
    EXPECT_EQ(exported[0], std::make_pair(4, 2));
    EXPECT_EQ(exported[1], std::make_pair(0, 2));
    // The unreleased event and its payload are still there, handed back.
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live + 2);
    evs[2]->e_flags = EV_F_RELEASE_C;
    ASSERT_TRUE(pass(q));
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live);  // every event and payload freed
    kv_export_unregister(&k0);
    kv_export_unregister(&k4);
}

TEST(Event, MisuseStops) {
    static struct event_queue q = {0, nullptr, record, nullptr, nullptr, {}};
    register_event_queue(&q);
    EXPECT_DEATH(register_event_queue(&q),
                 "src/core/event.cc:[0-9]+: register_event_queue: Assertion `register_event_queue: "
                 "queue already registered'");
    static struct event_queue nohandler = {0, nullptr, nullptr, nullptr, nullptr, {}};
    EXPECT_DEATH(register_event_queue(&nohandler),
                 "Assertion `evq->eq_handler != \\(\\(void \\*\\)0\\)'");
    struct event ev = {0, nullptr, nullptr};
    EXPECT_DEATH(event_add(&q, &ev), "event_add: Assertion `ev->e_arg != \\(\\(void \\*\\)0\\)'");
}

TEST(Event, MessageTable) {
    EXPECT_EQ(event_msg_table[0].em_code, 0u);
    EXPECT_EQ(event_msg_table[0].em_msg, nullptr);
    for (int i = 1; i < EVENT_MSG_COUNT; i++) {
        uint32_t c = event_msg_table[i].em_code;
        ASSERT_NE(event_msg_table[i].em_msg, nullptr) << i;
        EXPECT_EQ(event_code_id(c), i == 18 ? 16 : i) << i;
        EXPECT_EQ(c & 0xff, 0u) << i;
        // Categories: TCP metrics and health, then capture, then agent state.
        int cat = i <= 16 || i >= 35 ? 1 : i <= 26 ? 2 : 3;
        EXPECT_EQ(event_code_category(c), cat) << i;
        EXPECT_GE(event_code_severity(c), 1) << i;
        EXPECT_LE(event_code_severity(c), 4) << i;
    }
    EXPECT_EQ(event_msg_table[18].em_code, 0x10010200u);
    EXPECT_STREQ(event_msg_table[18].em_msg, "Packet capture already active");
    EXPECT_STREQ(event_msg_table[3].em_msg, "tcp_loss_rto");
    EXPECT_EQ(event_code_severity(event_msg_table[3].em_code), 4);
    EXPECT_STREQ(event_msg_table[24].em_msg,
                 "Packet capture successful, Remote authentication:  succeeded, Export: failed");
    EXPECT_STREQ(event_msg_table[36].em_msg,
                 "Varnix Agent %s usage greater than %d%% of the max limit (%d %s)");
    EXPECT_EQ(event_msg_table[36].em_code, 0x24020100u);
}

}  // namespace
