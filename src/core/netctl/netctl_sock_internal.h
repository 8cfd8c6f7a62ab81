// netctl_sock internals that tests reach: a shorter connection deadline, a
// smaller answer bound, a smaller share of listings, and the rate limit of
// the server's lines about failures that repeat.  Not installed with the
// library.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/netctl/netctl_sock.h"

// Per-connection deadline in milliseconds (at least 1).
void netctl_set_conn_timeout(int ms);
// Most bytes one answer may gather.
void netctl_set_answer_max(size_t bytes);
// A user's share of listing bytes a second (NETCTL_LIST_SHARE by default).
void netctl_set_list_share(int64_t bytes);

// The first failures (nrl_burst of them, at least one) are logged at once;
// the ones that follow within NETCTL_RATELOG_NS are counted, and one line
// every NETCTL_RATELOG_NS says how many there were, until a period passes
// without any.
inline constexpr int64_t NETCTL_RATELOG_NS = int64_t{10} * 1000000000;

struct netctl_ratelog {
    bool nrl_open;         // a period is running
    int64_t nrl_since_ns;  // when it began (the last line)
    unsigned nrl_repeats;  // failures in it not yet told
    unsigned nrl_burst;    // failures logged one by one at the start of a run; 0 means 1
    unsigned nrl_told;     // of those, logged in this period
};

// A failure at now_ns: true when it is to be logged now.
bool netctl_ratelog_event(struct netctl_ratelog *rl, int64_t now_ns);
// At now_ns: the count of failures to tell once a period has ended, else 0.
unsigned netctl_ratelog_due(struct netctl_ratelog *rl, int64_t now_ns);
// When netctl_ratelog_due will next have a count to tell; INT64_MAX if never.
int64_t netctl_ratelog_next_ns(const struct netctl_ratelog *rl);
