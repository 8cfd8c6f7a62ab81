// The Prometheus exposition text: names, units, kinds, instance labels,
// grouping and escaping.  promtool checks the tool's whole output in the
// tool's test.
#include <gmock/gmock.h>

#include "tools/netctl_prom.h"

namespace {

prom_sample num(const std::string &name, uint64_t v, bool counter = false,
                const std::string &label = "", const std::string &inst = "") {
    prom_sample s;
    s.name = name;
    s.number = true;
    s.value = v;
    s.counter = counter;
    s.label = label;
    s.instance = inst;
    return s;
}

TEST(Prom, ExpositionText) {
    prom_sample text;
    text.name = "agent.config.ignore_ifaces";
    text.text = "lo,\"tap\\0\"";
    // Instances arrive interleaved with other variables; each metric's
    // samples come out together.
    std::vector<prom_sample> in = {
        num("agent.proc.stats.rss_kb", 3288),
        num("agent.net.*.rx_bytes", 5, true, "net", "eth0"),
        num("agent.proc.stats.uptime_s", 3),
        num("agent.net.*.rx_bytes", 6, true, "net", "wl\"an0"),
        num("core.nmem.stats.allocs", 19, true),
        num("x.y-z.lat_ms", 250),
        text,
    };
    EXPECT_EQ(prom_format(in),
              "# HELP qorv_agent_proc_stats_rss_bytes agent.proc.stats.rss_kb (in base units)\n"
              "# TYPE qorv_agent_proc_stats_rss_bytes gauge\n"
              "qorv_agent_proc_stats_rss_bytes 3366912\n"
              "# HELP qorv_agent_net_rx_bytes_total agent.net.*.rx_bytes\n"
              "# TYPE qorv_agent_net_rx_bytes_total counter\n"
              "qorv_agent_net_rx_bytes_total{net=\"eth0\"} 5\n"
              "qorv_agent_net_rx_bytes_total{net=\"wl\\\"an0\"} 6\n"
              "# HELP qorv_agent_proc_stats_uptime_seconds agent.proc.stats.uptime_s\n"
              "# TYPE qorv_agent_proc_stats_uptime_seconds gauge\n"
              "qorv_agent_proc_stats_uptime_seconds 3\n"
              "# HELP qorv_core_nmem_stats_allocs_total core.nmem.stats.allocs\n"
              "# TYPE qorv_core_nmem_stats_allocs_total counter\n"
              "qorv_core_nmem_stats_allocs_total 19\n"
              "# HELP qorv_x_y_z_lat_seconds x.y-z.lat_ms (in base units)\n"
              "# TYPE qorv_x_y_z_lat_seconds gauge\n"
              "qorv_x_y_z_lat_seconds 0.25\n"
              "# HELP qorv_agent_config_ignore_ifaces_info agent.config.ignore_ifaces\n"
              "# TYPE qorv_agent_config_ignore_ifaces_info gauge\n"
              "qorv_agent_config_ignore_ifaces_info{value=\"lo,\\\"tap\\\\0\\\"\"} 1\n");
}

}  // namespace
