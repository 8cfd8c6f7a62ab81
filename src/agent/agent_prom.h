// agent_prom: the agent's statistics for a Prometheus node exporter's
// textfile collector.
//
// Every interval (agent.prom_interval_s) a thread of its own reads the agent's statistics through
// the agent's own control socket, exactly as "qorv-netctl --prometheus"
// does, and writes them to DIR/qorv-netagent.prom (DIR: agent.prom_dir): into a temporary file
// in DIR first (".qorv-netagent.prom.tmp", which the collector ignores),
// then renamed over the old file, so that the collector finds the old file
// or the whole new one, never a part.
#pragma once

#include <cstddef>

#define AGENT_PROM_FILE "qorv-netagent.prom"
// After start-up: starts the writer, reading the control socket of rundir.
// Each round takes the directory and the interval in force from the
// agent's configuration (agent.prom_dir, agent.prom_interval_s), so that a
// configuration read again on SIGHUP takes effect at the next round; with
// no directory it writes nothing and looks again an interval later.
void agent_prom_start(const char *rundir);
// Stops the writer and waits for it; the last file stays.
void agent_prom_stop(void);
// One write, as the thread does it: 0, or -1 with the reason in err.
int agent_prom_write(const char *dir, const char *sock, char *err, size_t errlen);
