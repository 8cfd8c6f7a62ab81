// agent_net: the agent's monitor of its host's network interfaces.
//
// Once a second (at each sample of its kvm) it reads the counters of each
// interface from the kernel's interface table (normally /proc/net/dev):
// bytes, packets, errors and drops, each way.  The increase goes into one
// kvs per interface,
// rolled up into a host-wide kvs with a running total; the per-second rates
// (bytes and packets, each way) feed one kvm per interface with a 60-sample
// simple moving average, minimum, maximum and deviation, plus an
// exponential average of the same samples.  A rate outside its three-sigma
// band is logged as one WARN line.
//
// Published in the control tree:
//   agent.net.<interface>.stats  one instance per interface (table node
//                                agent.net.*), totals since the interface
//                                was first seen and the rate figures
//   agent.host.net               the host-wide totals
// A poll once a second adds the interfaces that appeared and removes, with
// their objects, those that vanished, and updates the published figures.
//
// Runs on the main poll thread.  The list of interfaces is changed only
// under the control tree's lock, which the control-socket thread holds
// while it uses an instance, so a request never sees a freed interface.
#pragma once

#include <cstddef>
#include <cstdint>

#include "agent/agent_mon.h"

inline constexpr int AGENT_NET_PERIOD_USEC = 1000000;
inline constexpr char AGENT_NET_SOURCE[] = "/proc/net/dev";
// The sampling schedule of the interfaces' rates (a module's own type).
inline constexpr uint8_t AGENT_NET_SAMPLE_TYPE = 3;
inline constexpr size_t AGENT_NET_NAME_MAX = 16;  // interface names, NUL included

// The counters of one interface, in the order of the "netif" kv head.
enum agent_net_counter {
    AN_RX_BYTES,
    AN_RX_PACKETS,
    AN_RX_ERRS,
    AN_RX_DROP,
    AN_TX_BYTES,
    AN_TX_PACKETS,
    AN_TX_ERRS,
    AN_TX_DROP,
    AN_NCOUNTERS
};
// The rates, in the order of the "netrates" kv head.
enum agent_net_rate { AN_RX_BPS, AN_RX_PPS, AN_TX_BPS, AN_TX_PPS, AN_NRATES };

// What agent.net.<interface>.stats shows.
struct agent_net_pub {
    uint64_t anp_total[AN_NCOUNTERS];           // since the interface was first seen
    struct agent_rate_pub anp_rate[AN_NRATES];  // avg: the 60-sample simple moving average
};
static_assert(sizeof(struct agent_net_pub) == 8 * (8 + 4 * 5));

// Starts the monitor on the interface table at path (copied): registers
// the control-tree names and the once-a-second read.  0, or -1 when it
// could not be started (logged).
int agent_net_start(const char *path);
// Interfaces for which ignore(name) is true are left out from the next read
// on (those already monitored are removed then); null monitors every one.
void agent_net_ignore(bool (*ignore)(const char *name));
// Removes every interface and stops the periodic read.
void agent_net_stop(void);
// One read of the interface table (the periodic callout's work).
void agent_net_poll(void);

// For tests and tools.
int agent_net_count(void);
const struct agent_net_pub *agent_net_find(const char *name);
const uint64_t *agent_net_host_totals(void);
