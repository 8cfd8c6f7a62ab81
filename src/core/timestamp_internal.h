// timestamp seams for the tests: the clock source and the tick sample.
// Not installed with the library.
#pragma once

#include "core/timestamp.h"

// The clock source behind the monotonic and wall clocks, clock_gettime by
// default.  Tests install their own to drive time; null restores the default.
using timestamp_clock_fn = int (*)(clockid_t, struct timespec *);
void timestamp_set_clock(timestamp_clock_fn fn);
// Forgets the tick sample, so that the next tick_update is a first call.
void tick_reset(void);
