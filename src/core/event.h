// event: event queues handled on the main poll thread, and the table of
// event messages.
//
// An event queue owns a software interrupt line.  event_add links an event
// into the queue and raises the line; when the main poll dispatches the
// line, event_dispatch hands each event that was queued when it started to
// the queue's handler.  After the handler an event with a release bit is
// freed; one without goes back to the queue (head or tail by EV_F_HEAD) and
// is handed over again in the next main-poll pass, so an event that never
// gets a release bit costs one call per pass and never holds up the loop.
//
// Rules for handlers and producers:
//   - a handler must not post (event_add) the event it was handed: the
//     dispatch re-posts or frees it itself once the handler returns;
//   - register_event_queue is called once per queue (a second call stops
//     the process);
//   - everything happens on the main poll thread: no locks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/kv.h"

inline constexpr uint16_t EV_F_HEAD = 0x2000;  // queue at the head
// Release once handled: any one of them.
inline constexpr uint16_t EV_F_RELEASE_A = 0x0100;
inline constexpr uint16_t EV_F_RELEASE_B = 0x0800;
inline constexpr uint16_t EV_F_RELEASE_C = 0x1000;
inline constexpr uint16_t EV_F_RELEASE = EV_F_RELEASE_A | EV_F_RELEASE_B | EV_F_RELEASE_C;

// An event: an nmem object (released events are freed with nmem_free),
// which producers may make larger.
struct event {
    uint16_t e_flags;
    void *e_arg;  // the payload; never null
    struct event *e_next;
};
static_assert(offsetof(struct event, e_arg) == 8 && offsetof(struct event, e_next) == 16);

struct event_queue;
typedef void (*event_handler_fn)(struct event_queue *evq, struct event *ev);

struct event_queue {
    uint8_t eq_export_mask;  // bits 0..4: export types attached at registration
    struct swi_handler *eq_swi;
    event_handler_fn eq_handler;  // never null
    struct event *eq_first;
    struct event **eq_last;     // the last event's e_next, or &eq_first
    kv_export_list eq_exports;  // heap copies, highest attached type first
};

// Initialises a queue whose export mask and handler are set: empty list,
// its line, copies of the registered exports of its mask.
void register_event_queue(struct event_queue *evq);
// Posts ev (head with EV_F_HEAD, else tail) and raises the queue's line.
// A null payload stops the process.
void event_add(struct event_queue *evq, struct event *ev);
// The queue's swi handler; returns 0.
int event_dispatch(void *evq);

// The core event queue's handler: every attached export gets the payload
// (source kind 2); a released event's payload is freed, with the object its
// fourth word holds when that is not null.
void event_core_handler(struct event_queue *evq, struct event *ev);

// Event message table.  A code packs id (bits 31-24), severity (23-16),
// category (15-8) and 0.
struct event_msg {
    uint32_t em_code;
    const char *em_msg;
};
inline constexpr int EVENT_MSG_COUNT = 37;
extern const struct event_msg event_msg_table[EVENT_MSG_COUNT];

inline constexpr uint8_t event_code_id(uint32_t code) {
    return uint8_t(code >> 24);
}
inline constexpr uint8_t event_code_severity(uint32_t code) {
    return uint8_t(code >> 16);
}
inline constexpr uint8_t event_code_category(uint32_t code) {
    return uint8_t(code >> 8);
}

// Published by event_mod: the core event queue and the message table.
extern struct event_queue *event_core_queue;
extern const struct event_msg *event_msgs;

// Start-up step of event_mod.
void event_mod_init(void *arg);
