// agent_apps: the agent's figures per application, from its socket scans.
//
// An application is a program name (the kernel's comm of the processes
// that own sockets, at most 15 bytes), across all its processes.  Each
// socket scan (agent_sockets.h) hands every owned socket to its
// application with the increase of its TCP counters since the last scan;
// at the end of the scan each application that has sockets:
//   - adds the increase into a kvs of counters with a running total: bytes
//     received and sent (acknowledged), segments each way, retransmitted
//     segments and connections opened;
//   - sets its gauges: TCP connections, UDP sockets and their queued bytes
//     each way, processes;
//   - feeds a kvm (simple moving average over AGENT_APPS_WINDOW scans,
//     minimum, maximum, deviation) and an exponential average with its
//     rates over the time since the last scan: bytes/s each way,
//     retransmitted segments/s, and the mean smoothed round-trip time of
//     its TCP connections.  One sample per scan: the rates are driven by
//     the scans, not by a timer of their own, so a scan late by a few
//     milliseconds never doubles or drops a sample.  A rate outside its
//     three-sigma band once the window is full is one WARN line naming the
//     application, the rate, the value and the band.  Retransmits and the
//     round-trip time warn only upwards.
//
// The kernel keeps no byte or segment counts for UDP sockets: UDP shows as
// sockets and queued bytes only.
//
// Published as the table node agent.apps, one instance per application,
// named by its program name made safe for the tree: every byte outside
// [A-Za-z0-9_-] becomes '_' (an empty name is "_"); a name that is taken
// (by another program whose name maps to the same text, or the reserved
// "other") gets '-' and the 8 hex digits of the program's appid after it.
// Walks of the tree (a read of agent.apps or of everything, and so the
// Prometheus text) show the AGENT_APPS_TOP busiest applications (highest
// average bytes/s both ways over the window; ties by total bytes, then
// name) one by one; the others are hidden from walks but still listed by
// name (qorv-netctl -n agent.apps) and readable by name, and their figures
// from the scans where they are hidden are added into the instance
// "other", whose counters therefore only grow.  A top of 0 shows every
// application and makes no "other".
//
// An application that has had no socket for AGENT_APPS_WINDOW scans is
// removed with its objects.  Runs on the main poll thread; instances are
// added, removed, hidden and shown under the control tree's lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "agent/agent_mon.h"

struct agent_sock;

// The sample type of the applications' kvms (a module's own type); their
// window, in scans.
inline constexpr uint8_t AGENT_APPS_SAMPLE_TYPE = 4;
inline constexpr int AGENT_APPS_WINDOW = 60;
inline constexpr unsigned AGENT_APPS_TOP = 50;
inline constexpr unsigned AGENT_APPS_TOP_MAX = 10000;
inline constexpr char AGENT_APPS_OTHER[] = "other";

// The counters, in the order of the "appcounters" kv head.
enum agent_app_counter {
    AA_RX_BYTES,
    AA_TX_BYTES,
    AA_RX_SEGS,
    AA_TX_SEGS,
    AA_RETRANS,
    AA_OPENED,
    AA_NCOUNTERS
};
// The gauges, set at every scan.
enum agent_app_gauge {
    AA_CONNECTIONS,
    AA_UDP_SOCKETS,
    AA_UDP_RX_QUEUE,
    AA_UDP_TX_QUEUE,
    AA_PROCESSES,
    AA_NGAUGES
};
// The rates, in the order of the "apprates" kv head.
enum agent_app_rate { AA_RX_BPS, AA_TX_BPS, AA_RETRANS_S, AA_RTT_US, AA_NRATES };

// What agent.apps.<name> shows.
struct agent_app_pub {
    uint64_t aap_total[AA_NCOUNTERS];  // since the agent first saw the application
    uint64_t aap_gauge[AA_NGAUGES];
    struct agent_rate_pub aap_rate[AA_NRATES];
};

// Registers agent.apps and the kvm schedule.  0, or -1 (logged).
int agent_apps_start(void);
// Removes every application.
void agent_apps_stop(void);
// How many applications walks show one by one (0: all); from the next scan.
void agent_apps_set_top(unsigned top);

// One socket of the scan, owned by a process of program comm: d holds the
// increase of its counters since the last scan (AA_NCOUNTERS, AA_OPENED 1
// for a TCP connection first seen), new_process is set for the first
// socket of each process in the scan.
void agent_apps_account(const char *comm, bool new_process, const struct agent_sock *s,
                        const uint64_t *d);
// The end of a scan at ticks now: counters, gauges, rates, ranking,
// applications gone.
void agent_apps_scan_end(uint64_t now);

// For tests and tools.
int agent_apps_count(void);
const struct agent_app_pub *agent_apps_find(const char *name);
bool agent_apps_hidden(const char *name);
// The instance name of program comm as a new application would get it.
void agent_apps_name(const char *comm, char *out, size_t size);
