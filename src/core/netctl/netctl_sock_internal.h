// netctl_sock seams for the tests: a shorter connection deadline and a
// smaller answer bound.  Not installed with the library.
#pragma once

#include <cstddef>

#include "core/netctl/netctl_sock.h"

// Per-connection deadline in milliseconds (at least 1).
void netctl_set_conn_timeout(int ms);
// Most bytes one answer may gather.
void netctl_set_answer_max(size_t bytes);
