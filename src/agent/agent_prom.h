// agent_prom: the agent's statistics for a Prometheus node exporter's
// textfile collector.
//
// Every interval a thread of its own reads the agent's statistics through
// the agent's own control socket, exactly as "qorv-netctl --prometheus"
// does, and writes them to DIR/qorv-netagent.prom: into a temporary file
// in DIR first (".qorv-netagent.prom.tmp", which the collector ignores),
// then renamed over the old file, so that the collector finds the old file
// or the whole new one, never a part.
#pragma once

#include <cstddef>

#define AGENT_PROM_FILE "qorv-netagent.prom"
// Where the settings come from until the agent has a configuration file:
// the directory, and the seconds between writes (AGENT_PROM_INTERVAL_S
// when unset or not a number from 1 to 86400).
#define AGENT_PROM_DIR_ENV "QORV_NETAGENT_PROM_DIR"
#define AGENT_PROM_INTERVAL_ENV "QORV_NETAGENT_PROM_INTERVAL"
inline constexpr unsigned AGENT_PROM_INTERVAL_S = 15;

// After start-up: starts the writer for directory dir (nothing when dir is
// null or empty), reading the control socket of rundir.
void agent_prom_start(const char *dir, unsigned interval_s, const char *rundir);
// agent_prom_start with the settings of the environment.
void agent_prom_from_env(const char *rundir);
// Stops the writer and waits for it; the last file stays.
void agent_prom_stop(void);
// One write, as the thread does it: 0, or -1 with the reason in err.
int agent_prom_write(const char *dir, const char *sock, char *err, size_t errlen);
