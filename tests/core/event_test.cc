// Event queues: ordering, release and re-posting, exports, the core
// handler, the message table.  A main-poll pass is played by hand: the
// line's pending bit, then event_dispatch.
#include "core/event.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/nmem.h"
#include "core/swi.h"

namespace {

using strings = std::vector<std::string>;
strings seen;
struct event *post_from_handler;  // posted by the next handler call

struct tev {
    struct event ev;
    const char *name;
};

void record(struct event_queue *q, struct event *ev) {
    seen.push_back(reinterpret_cast<tev *>(ev)->name);
    if (post_from_handler != nullptr) event_add(q, post_from_handler);
    post_from_handler = nullptr;
}

struct event *make(const char *name, uint16_t flags) {
    auto *e = static_cast<tev *>(nmem_alloc(sizeof(tev), NMEM_ZERO));
    *e = {{flags, e, nullptr}, name};
    return &e->ev;
}

// One main-poll pass over the queue's line; what the handler saw, or
// "idle" when the line was not raised.
strings pass(struct event_queue *q) {
    seen.clear();
    if (!(swi_pending_mask() & q->eq_swi->sh_mask)) return {"idle"};
    *q->eq_swi->sh_pending &= ~q->eq_swi->sh_mask;
    event_dispatch(q);
    return seen;
}

TEST(Event, OrderReleaseAndRepostOnePassAtATime) {
    static struct event_queue q = {0, nullptr, record, nullptr, nullptr, {}};
    register_event_queue(&q);
    uint64_t live = nmem_stats.ns_alloced_objs;
    struct event *e1 = make("E1", 0);
    event_add(&q, e1);
    event_add(&q, make("E2", EV_F_RELEASE_B));
    event_add(&q, make("E3", EV_F_HEAD | EV_F_RELEASE_A));
    post_from_handler = make("late", EV_F_RELEASE_C);  // waits for the next pass
    EXPECT_EQ(pass(&q), (strings{"E3", "E1", "E2"}));
    // E1 has no release bit: handed over again in each later pass.
    EXPECT_EQ(pass(&q), (strings{"late", "E1"}));
    e1->e_flags = EV_F_RELEASE_A;
    EXPECT_EQ(pass(&q), (strings{"E1"}));
    EXPECT_EQ(pass(&q), (strings{"idle"}));
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live);
    // The emptied queue takes a head post as its only event.
    event_add(&q, make("E4", EV_F_HEAD | EV_F_RELEASE_A));
    event_add(&q, make("E5", EV_F_RELEASE_A));
    EXPECT_EQ(pass(&q), (strings{"E4", "E5"}));
}

std::vector<int> exported;  // export type * 10 + source kind, per call
void exp0(void *state, void *obj, int src) {
    exported.push_back(state != nullptr && obj == nullptr ? src : -1);
}
void exp4(void *, void *, int src) {
    exported.push_back(40 + src);
}

TEST(Event, CoreQueueExportsAndFreesPayloads) {
    struct kv_export k0 = {0, exp0, {}}, k4 = {4, exp4, {}};
    kv_export_register(&k0);
    kv_export_register(&k4);
    event_mod_init(nullptr);
    ASSERT_NE(event_core_queue, nullptr);
    EXPECT_EQ(event_msgs, event_msg_table);
    struct event_queue *q = event_core_queue;
    uint64_t live = nmem_stats.ns_alloced_objs;
    // Payloads of four words; the fourth holds an object or null.
    struct event *evs[3];
    for (int i = 0; i < 3; i++) {
        void **payload = static_cast<void **>(nmem_alloc(32, NMEM_ZERO));
        if (i == 0) payload[3] = nmem_alloc(10, 0);
        evs[i] = static_cast<struct event *>(nmem_alloc(sizeof(struct event), NMEM_ZERO));
        *evs[i] = {uint16_t(i < 2 ? EV_F_RELEASE_B : 0), payload, nullptr};
        event_add(q, evs[i]);
    }
    pass(q);
    // Type 4 first (attached last), each export once per event.
    EXPECT_EQ(exported, (std::vector<int>{42, 2, 42, 2, 42, 2}));
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live + 2);  // the unreleased event and payload
    evs[2]->e_flags = EV_F_RELEASE_C;
    pass(q);
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live);
    kv_export_unregister(&k0);
    kv_export_unregister(&k4);
}

TEST(Event, MisuseStops) {
    static struct event_queue q = {0, nullptr, record, nullptr, nullptr, {}};
    static struct event_queue nohandler = {0, nullptr, nullptr, nullptr, nullptr, {}};
    register_event_queue(&q);
    EXPECT_DEATH(register_event_queue(&q),
                 "src/core/event.cc:[0-9]+: register_event_queue: Assertion `register_event_queue: "
                 "queue already registered'");
    EXPECT_DEATH(register_event_queue(&nohandler),
                 "Assertion `evq->eq_handler != \\(\\(void \\*\\)0\\)'");
    struct event ev = {0, nullptr, nullptr};
    EXPECT_DEATH(event_add(&q, &ev), "event_add: Assertion `ev->e_arg != \\(\\(void \\*\\)0\\)'");
}

TEST(Event, MessageTable) {
    EXPECT_TRUE(event_msg_table[0].em_code == 0 && event_msg_table[0].em_msg == nullptr);
    for (int i = 1; i < EVENT_MSG_COUNT; i++) {
        uint32_t c = event_msg_table[i].em_code;
        // Ids equal the index but for 18; TCP metrics and health, capture,
        // agent state; severities 1 to 4; a zero low byte.
        EXPECT_EQ(event_code_id(c), i == 18 ? 16 : i) << i;
        EXPECT_EQ(event_code_category(c), i <= 16 || i >= 35 ? 1 : i <= 26 ? 2 : 3) << i;
        EXPECT_TRUE(event_code_severity(c) >= 1 && event_code_severity(c) <= 4 && !(c & 0xff));
        EXPECT_NE(event_msg_table[i].em_msg, nullptr);
    }
    EXPECT_STREQ(event_msg_table[18].em_msg, "Packet capture already active");
    EXPECT_STREQ(event_msg_table[24].em_msg,
                 "Packet capture successful, Remote authentication:  succeeded, Export: failed");
    EXPECT_STREQ(event_msg_table[36].em_msg,
                 "Varnix Agent %s usage greater than %d%% of the max limit (%d %s)");
}

}  // namespace
