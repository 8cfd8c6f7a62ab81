// qorv-netagent entry point; see agent.h.
#include "agent/agent.h"
#include "core/agent_config.h"

static struct agent_config agent_main_cfg;

int main(int argc, char **argv) {
    agent_block_stop_signals();
    struct agent_args args;
    if (agent_parse_args(argc, argv, &args) != 0) return 1;
    if (agent_config_fill(&args, &agent_main_cfg) != 0) return 1;
    if (agent_lock_rundir(&agent_main_cfg) != 0) return 1;
    agent_start(&agent_main_cfg);
    int sig = agent_run();
    agent_stop(sig);
    return sig != 0 ? 0 : 1;
}
