#include "core/agent_config.h"

// A zeroed record stands in until the program sets its own, so that readers
// never follow a null pointer.
static struct agent_config agent_cfg_default;
struct agent_config *agent_cfg = &agent_cfg_default;
