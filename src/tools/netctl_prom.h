// netctl_prom: statistics in the Prometheus text exposition format, for
// qorv-netctl --prometheus and the agent's textfile writer.
//
// A variable's metric name is "qorv_" and its dotted name with every
// character outside [a-zA-Z0-9_] made '_', without the instance segment of
// a table node: the instance becomes a label named after what the table
// holds ("agent.net.*" with instance eth0: interface="eth0"; a table not
// known here is named after its component).  A unit at the
// end of the name is turned into the base unit with the value scaled
// (rss_kb -> rss_bytes, x1024; uptime_s -> uptime_seconds), "s" after a
// plural quantity is a rate (rx_bytes_s_ema -> rx_bytes_per_second_ema),
// a gauge ending in _count, _sum or _bucket gets "_value" after it (those
// endings belong to histograms), and counters end in "_total".  Numbers print as gauges or counters; characters,
// strings and address lists as an "_info" gauge of 1 with the text in a
// "value" label.  Samples of one metric are printed together, in the order
// their first sample came, each metric after its "# HELP" and "# TYPE".
// The help is the dotted name; the agent's interface counters add that
// they count from the agent's start, not the kernel's totals.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct prom_sample {
    std::string name;   // dotted name; a table node's instance as "*"
    std::string label;  // label name for the instance, or empty
    std::string instance;
    bool counter = false;  // the variable's kind; numbers only
    bool number = false;   // value is a number (u16, u32, u64)
    uint64_t value = 0;
    std::string text;  // the value of anything else
};

// The label name for the instances of a table node whose last component
// is component.
std::string prom_table_label(const std::string &component);
// The exposition text of samples, ready to be written out.
std::string prom_format(const std::vector<prom_sample> &samples);
// The metric name of a dotted name, and the factor its value is scaled by.
std::string prom_metric_name(const std::string &dotted, bool counter, double *scale);
