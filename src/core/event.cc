// event: queues, dispatch, the core event queue and the message table.
//
// Main poll thread only; no locks.
#include "core/event.h"

#include "core/nassert.h"
#include "core/nmem.h"
#include "core/swi.h"
#include "core/sysinit.h"

// clang-format off
const struct event_msg event_msg_table[EVENT_MSG_COUNT] = {
    {0, nullptr},
    {0x01020100, "tcp_client_0_win"},
    {0x02020100, "tcp_server_0_win"},
    {0x03040100, "tcp_loss_rto"},
    {0x04040100, "tcp_reset_onsyn"},
    {0x05040100, "tcp_reset_ondata"},
    {0x06010100, "tcp_rtt"},
    {0x07010100, "tcp_handshake_rtt"},
    {0x08020100, "tcp_sender_limited"},
    {0x09020100, "tcp_receiver_limited"},
    {0x0a010100, "tcp_tput"},
    {0x0b020100, "tcp_loss"},
    {0x0c020100, "tcp_syn_rexmit"},
    {0x0d020100, "tcp_synack_rexmit"},
    {0x0e010100, "tcp_syn_on_established"},
    {0x0f010100, "tcp_initial_rtt"},
    {0x10010100, "tcp_lifetime"},
    {0x11010200, "Packet capture successful"},
    {0x10010200, "Packet capture already active"},  // id byte 16, as published
    {0x13030200, "Packet capture couldn't be started"},
    {0x14030200, "Not enough space to start packet capture"},
    {0x15030200, "Packet capture failed. Directory doesn't exist or insufficient permissions"},
    {0x16010200, "Packet capture successful and exported"},
    {0x17030200, "Packet capture successful, Export: failed"},
    {0x18030200, "Packet capture successful, Remote authentication:  succeeded, Export: failed"},
    {0x19030200, "Packet capture successful, Remote authentication: failed"},
    {0x1a030200, "Packet Capture not started. Agent Disabled."},
    {0x1b010300, "Varnix Agent mode change successful"},
    {0x1c030300, "Varnix Agent mode change failed"},
    {0x1d010300, "Varnix Agent state change successful"},
    {0x1e010300, "No change in Varnix Agent state"},
    {0x1f030300, "Varnix Agent state change failed as Packet capture active"},
    {0x20030300, "Varnix Agent state change failed"},
    {0x21010300, "Varnix Agent registered successfully"},
    {0x22030300, "Varnix Agent registration failed due to invalid id"},
    {0x23010100, "Varnix Agent started successfully"},
    {0x24020100, "Varnix Agent %s usage greater than %d%% of the max limit (%d %s)"},
};
// clang-format on

struct event_queue *event_core_queue;
const struct event_msg *event_msgs;

// The registered queues, to refuse a second registration: at most one per
// swi line.
static struct event_queue *event_queues[SWI_NLINES];
static int event_nqueues;

void register_event_queue(struct event_queue *evq) {
    N_ASSERT(evq->eq_handler != nullptr, "evq->eq_handler != ((void *)0)");
    for (int i = 0; i < event_nqueues; i++)
        N_ASSERT(event_queues[i] != evq, "register_event_queue: queue already registered");
    evq->eq_first = nullptr;
    evq->eq_last = &evq->eq_first;
    evq->eq_exports.init();
    evq->eq_swi = swi_register(event_dispatch, evq);
    N_ASSERT(evq->eq_swi != nullptr, "evq->eq_swi != ((void *)0)");
    event_queues[event_nqueues++] = evq;
    for (uint8_t type = 0; type < KV_EXPORT_TYPES; type++) {
        if (!(evq->eq_export_mask & (1u << type))) continue;
        struct kv_export *copy = kv_get_export(type);
        if (copy != nullptr) evq->eq_exports.insert_head(copy);
    }
}

void event_add(struct event_queue *evq, struct event *ev) {
    N_ASSERT(ev->e_arg != nullptr, "ev->e_arg != ((void *)0)");
    if (ev->e_flags & EV_F_HEAD) {
        ev->e_next = evq->eq_first;
        if (evq->eq_first == nullptr) evq->eq_last = &ev->e_next;
        evq->eq_first = ev;
    } else {
        ev->e_next = nullptr;
        *evq->eq_last = ev;
        evq->eq_last = &ev->e_next;
    }
    swi_raise(evq->eq_swi);
}

int event_dispatch(void *arg) {
    auto *evq = static_cast<struct event_queue *>(arg);
    // The events queued now are this pass's; whatever is posted or
    // re-posted meanwhile waits for the next pass.
    struct event *ev = evq->eq_first;
    evq->eq_first = nullptr;
    evq->eq_last = &evq->eq_first;
    while (ev != nullptr) {
        struct event *next = ev->e_next;
        ev->e_next = nullptr;
        evq->eq_handler(evq, ev);
        if (ev->e_flags & EV_F_RELEASE)
            nmem_free(ev);
        else
            event_add(evq, ev);
        ev = next;
    }
    return 0;
}

void event_core_handler(struct event_queue *evq, struct event *ev) {
    for (struct kv_export *kexp : evq->eq_exports)
        kexp->ke_fn(ev->e_arg, nullptr, 2);
    if (!(ev->e_flags & EV_F_RELEASE)) return;
    void *inner;
    memcpy(&inner, static_cast<char *>(ev->e_arg) + 3 * sizeof(void *), sizeof(inner));
    if (inner != nullptr) nmem_free(inner);
    nmem_free(ev->e_arg);
}

static struct event_queue event_core = {0x15, nullptr, event_core_handler, nullptr, nullptr, {}};

void event_mod_init(void *) {
    register_event_queue(&event_core);
    event_core_queue = &event_core;
    event_msgs = event_msg_table;
}
SYSINIT(event_mod, "event_mod", SI_SUB_EVENT, SI_ORDER_ANY, event_mod_init, nullptr);
