// The core modules that an agent scan needs, started in process on a clock
// that the caller drives (ticks), for the agent's tests and benchmarks.
#pragma once

#include "core/kern_timeout.h"
#include "core/kv.h"
#include "core/kv_metadata.h"
#include "core/kv_metrics.h"
#include "core/kv_stats.h"
#include "core/timestamp.h"

inline void agent_engines_start(void) {
    ticks = 1000000;
    softclock_init(nullptr);
    kv_mod_init(nullptr);
    kv_stats_mod_init(nullptr);
    kv_metrics_mod_init(nullptr);
    kv_metadata_mod_init(nullptr);
}
