// agent_conf: the agent's own configuration block, read from
// "qorv-netagent.conf" in its configuration directory (-c).
//
// Keys (see core/kvc_file.h for the file's syntax):
//   agent.stats_interval_ms   statistics sample interval, 10 to 2000000 ms (1000)
//   agent.md_update_interval  metadata update interval, seconds (60)
//   agent.flow_debug          non-zero turns on the flow-debug log category (0)
//   agent.ignore_ifaces       interface names to ignore, separated by commas (none)
//   agent.prom_dir            directory for the Prometheus textfile (none: no file)
//   agent.prom_interval_s     seconds between its writes, 1 to 86400 (15)
//   agent.scan_interval_ms    socket scan interval, 100 to 60000 ms (1000)
//   agent.apps_top            applications shown one by one, 0 (all) to 10000 (50)
//   agent.metadata_export     non-zero writes the metadata store's file export (0)
//   agent.metadata_max_kb     its file's bound, 64 to 1048576 KiB (8192)
//
// The values in force are published read-only as "agent.config".  SIGHUP
// makes the agent read the file again: the handler only records the
// signal, and a callout of the main poll does the read.
#pragma once

#include <cstdint>

struct agent_conf {
    uint32_t acf_stats_interval_ms;
    uint32_t acf_md_update_interval;
    uint16_t acf_flow_debug;
    uint16_t acf_reserved;
    char *acf_ignore_ifaces;  // nmem string, or null for none
    char *acf_prom_dir;       // nmem string, or null for none
    uint32_t acf_prom_interval_s;
    uint32_t acf_scan_interval_ms;
    uint32_t acf_apps_top;
    uint16_t acf_metadata_export;
    uint32_t acf_metadata_max_kb;
};

inline constexpr char AGENT_CONF_FILE[] = "qorv-netagent.conf";
inline constexpr uint32_t AGENT_STATS_INTERVAL_MIN_MS = 10;
inline constexpr uint32_t AGENT_STATS_INTERVAL_MAX_MS = 2000000;
inline constexpr uint32_t AGENT_PROM_INTERVAL_MAX_S = 86400;
// How often the main poll looks for a recorded SIGHUP.
inline constexpr int AGENT_CONF_POLL_USEC = 100000;

// Before sysinit_run (agent_cfg set): installs the file reader for
// <confdir>/qorv-netagent.conf and registers the block, which kvc_mod then
// reads at the end of start-up.
void agent_conf_init(void);
// After sysinit_run: publishes "agent.config" and takes over SIGHUP.
void agent_conf_start(void);
// The values in force: on the main poll thread, or on another thread under
// the control tree's lock (the apply hook writes them under it).
const struct agent_conf *agent_conf_current(void);
// The statistics sample interval in microseconds.
int agent_conf_stats_period_usec(void);
// True when name is one of the interfaces to ignore.
bool agent_conf_ignores_iface(const char *name);
