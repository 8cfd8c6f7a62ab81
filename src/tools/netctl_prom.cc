// netctl_prom: the Prometheus text exposition format; see netctl_prom.h.
#include "tools/netctl_prom.h"

#include <cstdio>
#include <map>

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

std::string sanitize(const std::string &s) {
    std::string out;
    for (char c : s) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        out += ok ? c : '_';
    }
    return out;
}

std::string escape(const std::string &s, bool quote) {
    std::string out;
    for (char c : s) {
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

std::string prom_metric_name(const std::string &dotted, bool counter, double *scale) {
    // Without the instance component.
    std::string name;
    size_t at = 0;
    while (at <= dotted.size()) {
        size_t end = dotted.find('.', at);
        if (end == std::string::npos) end = dotted.size();
        std::string part = dotted.substr(at, end - at);
        if (part != "*") name += (name.empty() ? "" : "_") + sanitize(part);
        at = end + 1;
    }
    *scale = 1;
    size_t last = name.rfind('_');
    std::string tail = last == std::string::npos ? name : name.substr(last + 1);
    for (const auto &u : UNITS)
        if (last != std::string::npos && tail == u.abbrev) {
            name = name.substr(0, last + 1) + u.base;
            *scale = u.scale;
        }
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
            it->second.help = escape(s.name, false) + (scale != 1 ? " (in base units)" : "");
            it->second.type = s.number && s.counter ? "counter" : "gauge";
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
