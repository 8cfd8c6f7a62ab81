// netctl_prom: the Prometheus text exposition format; see netctl_prom.h.
#include "tools/netctl_prom.h"

#include <cstdio>
#include <map>

#include "tools/netctl_client.h"

namespace {

// Units that may end a variable's name, their base unit and the factor.
struct unit {
    const char *abbrev, *base;
    double scale;
};
constexpr unit UNITS[] = {
    {"b", "bytes", 1},          {"kb", "bytes", 1024},
    {"mb", "bytes", 1048576.0}, {"gb", "bytes", 1073741824.0},
    {"s", "seconds", 1},        {"sec", "seconds", 1},
    {"ms", "seconds", 1e-3},    {"us", "seconds", 1e-6},
    {"ns", "seconds", 1e-9},
};

// Counters that a reader of the name alone would take for the kernel's
// totals: the agent counts them from its own start.
constexpr struct {
    const char *prefix, *note;
} COUNTER_NOTES[] = {
    {"agent.net.", " (since the agent first saw the interface, not the kernel's total)"},
    {"agent.host.net.", " (since the agent started, not the kernel's total)"},
};

std::string counter_note(const std::string &dotted) {
    for (const auto &n : COUNTER_NOTES)
        if (dotted.rfind(n.prefix, 0) == 0) return n.note;
    return "";
}

std::string sanitize(const std::string &s) {
    std::string out;
    for (char c : s) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        out += ok ? c : '_';
    }
    return out;
}

// Label values and help texts are UTF-8: an ill-formed byte in one would
// make the collector drop the whole file.
std::string escape(const std::string &s, bool quote) {
    std::string out;
    for (char c : nc_utf8(s)) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '"' && quote)
            out += "\\\"";
        else
            out += c;
    }
    return out;
}

std::string number(uint64_t v, double scale) {
    char buf[40];
    if (scale == 1)
        snprintf(buf, sizeof(buf), "%llu", static_cast<unsigned long long>(v));
    else
        snprintf(buf, sizeof(buf), "%.17g", static_cast<double>(v) * scale);
    return buf;
}

struct family {
    std::string help, type;
    std::vector<std::string> lines;
};

}  // namespace

std::string prom_table_label(const std::string &component) {
    // What the agent's table nodes hold, by component.
    static constexpr struct {
        const char *component, *label;
    } known[] = {{"net", "interface"}, {"apps", "app"}};
    for (const auto &k : known)
        if (component == k.component) return k.label;
    return component;
}

std::string prom_metric_name(const std::string &dotted, bool counter, double *scale) {
    // Without the instance component.
    std::string name;
    size_t at = 0;
    while (at <= dotted.size()) {
        size_t end = dotted.find('.', at);
        if (end == std::string::npos) end = dotted.size();
        std::string part = dotted.substr(at, end - at);
        if (part != "*") {
            if (!name.empty()) name += '_';
            name += sanitize(part);
        }
        at = end + 1;
    }
    // "s" after a plural quantity is a rate (rx_bytes_s, rx_bytes_s_ema):
    // per second.  A unit at the very end is turned into its base unit.
    std::vector<std::string> tok;
    for (size_t from = 0, us; from <= name.size(); from = us + 1) {
        us = name.find('_', from);
        if (us == std::string::npos) us = name.size();
        tok.push_back(name.substr(from, us - from));
    }
    *scale = 1;
    for (size_t i = 1; i < tok.size(); i++) {
        bool rate =
            (tok[i] == "s" || tok[i] == "sec") && !tok[i - 1].empty() && tok[i - 1].back() == 's';
        if (rate) {
            tok[i] = "per_second";
            continue;
        }
        for (const auto &u : UNITS)
            if (i + 1 == tok.size() && tok[i] == u.abbrev) {
                tok[i] = u.base;
                *scale = u.scale;
            }
    }
    // Those endings belong to histograms and summaries.
    const std::string &end = tok.back();
    if (!counter && (end == "count" || end == "sum" || end == "bucket")) tok.push_back("value");
    name.clear();
    for (const auto &t : tok)
        name += (name.empty() ? "" : "_") + t;
    return "qorv_" + name + (counter ? "_total" : "");
}

std::string prom_format(const std::vector<prom_sample> &samples) {
    std::vector<std::string> order;
    std::map<std::string, family> families;
    for (const auto &s : samples) {
        double scale = 1;
        std::string metric = prom_metric_name(s.name, s.number && s.counter, &scale);
        std::string labels;
        if (!s.label.empty()) labels = sanitize(s.label) + "=\"" + escape(s.instance, true) + "\"";
        std::string value;
        if (s.number) {
            value = number(s.value, scale);
        } else {
            metric += "_info";
            labels +=
                std::string(labels.empty() ? "" : ",") + "value=\"" + escape(s.text, true) + "\"";
            value = "1";
        }
        auto [it, fresh] = families.try_emplace(metric);
        if (fresh) {
            order.push_back(metric);
            bool counter = s.number && s.counter;
            it->second.help = escape(s.name, false) + (scale != 1 ? " (in base units)" : "") +
                              (counter ? counter_note(s.name) : "");
            it->second.type = counter ? "counter" : "gauge";
        }
        it->second.lines.push_back(metric + (labels.empty() ? "" : "{" + labels + "}") + " " +
                                   value);
    }
    std::string out;
    for (const auto &m : order) {
        const family &f = families[m];
        out += "# HELP " + m + " " + f.help + "\n# TYPE " + m + " " + f.type + "\n";
        for (const auto &l : f.lines)
            out += l + "\n";
    }
    return out;
}
