// The agent configuration record: one process-wide record of settings,
// reached through agent_cfg, which the program points at its own record
// before logging or any module starts.  The supervisor points it at a record
// of its own; the agent fills one from its command line.
//
// Text fields are heap strings (n_strdup) in the agent, so that logging_init
// can replace them; the supervisor's record points at its own strings and is
// never changed by logging.
//
// The program fills the record and sets agent_cfg on its main thread before
// sysinit_run; from then on modules on any thread read it without a lock,
// and only start-up steps and configuration apply hooks, on the main
// thread, write its fields.
#pragma once

#include <cstdint>

struct agent_config {
    int32_t ac_var_count_idx;  // selects a head's per-index variable count
    int32_t ac_debug;          // non-zero: DEBUG lines go to the debug log file
    char *ac_dest;             // "file" or "syslog"
    char *ac_logfile;          // main log file base path
    char *ac_debug_logfile;    // debug log file base path, or null
    char *ac_confdir;          // configuration directory (-c of the agent)
    char *ac_logdir;           // log directory
    char *ac_rundir;           // run directory: control socket
    char *ac_homedir;          // working directory, where core files land
    int32_t ac_essential_only; // only essential heads get metric updates
    int32_t ac_reserved0;
    int32_t ac_flow_dpi_md;         // record flow DPI metadata
    uint32_t ac_md_update_interval; // metadata update interval, seconds
    int32_t ac_reserved1;
    uint32_t ac_flow_debug;  // non-zero turns on the flow-debug log category
};

extern struct agent_config *agent_cfg;
