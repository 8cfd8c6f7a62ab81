// The Prometheus text: what the tool and agent tests cannot easily reach
// (interleaved instances grouped, escaping, fractional scaling).
#include <gmock/gmock.h>

#include "tools/netctl_prom.h"

namespace {

prom_sample sample(const std::string &name, uint64_t v, const std::string &inst = "") {
    prom_sample s;
    s.name = name;
    s.number = true;
    s.value = v;
    s.counter = !inst.empty();
    s.label = inst.empty() ? "" : "net";
    s.instance = inst;
    return s;
}

TEST(Prom, GroupedEscapedScaled) {
    prom_sample text;
    text.name = "a.mode";
    text.text = "x\"\\\xe2\x82";  // a character cut short: U+FFFD
    std::vector<prom_sample> in = {sample("a.*.rx", 5, "eth0"),   sample("b.lat_ms", 250),
                                   sample("a.*.rx", 6, "w\"0"),   text,
                                   sample("c.rx_bytes_s_ema", 7), sample("d.in_use_count", 8)};
    in.push_back(sample("agent.net.*.stats.rx_bytes", 9, "lo"));
    EXPECT_EQ(prom_table_label("net"), "interface");
    EXPECT_EQ(prom_table_label("tbl"), "tbl");
    EXPECT_EQ(prom_format(in),
              "# HELP qorv_a_rx_total a.*.rx\n# TYPE qorv_a_rx_total counter\n"
              "qorv_a_rx_total{net=\"eth0\"} 5\nqorv_a_rx_total{net=\"w\\\"0\"} 6\n"
              "# HELP qorv_b_lat_seconds b.lat_ms (in base units)\n"
              "# TYPE qorv_b_lat_seconds gauge\nqorv_b_lat_seconds 0.25\n"
              "# HELP qorv_a_mode_info a.mode\n# TYPE qorv_a_mode_info gauge\n"
              "qorv_a_mode_info{value=\"x\\\"\\\\\xef\xbf\xbd\"} 1\n"
              "# HELP qorv_c_rx_bytes_per_second_ema c.rx_bytes_s_ema\n"
              "# TYPE qorv_c_rx_bytes_per_second_ema gauge\nqorv_c_rx_bytes_per_second_ema 7\n"
              "# HELP qorv_d_in_use_count_value d.in_use_count\n"
              "# TYPE qorv_d_in_use_count_value gauge\nqorv_d_in_use_count_value 8\n"
              // The agent's interface counters are not the kernel's totals.
              "# HELP qorv_agent_net_stats_rx_bytes_total agent.net.*.stats.rx_bytes (since the "
              "agent first saw the interface, not the kernel's total)\n"
              "# TYPE qorv_agent_net_stats_rx_bytes_total counter\n"
              "qorv_agent_net_stats_rx_bytes_total{net=\"lo\"} 9\n");
}

}  // namespace
