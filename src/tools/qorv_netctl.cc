// qorv-netctl: reads the variables of a running program through its control
// socket, for people and for scripts.
//
//   qorv-netctl [-s SOCKET | -r RUNDIR] [-n] [-p] [-j] [NAME]
//   qorv-netctl [-s SOCKET | -r RUNDIR] -w SECONDS [-c COUNT] [NAME]
//   qorv-netctl [-s SOCKET | -r RUNDIR] --prometheus
//
// Output.  On a terminal a node prints as an aligned table (name, value,
// type) with thousands separators in numbers; elsewhere as the lines
// "full.name = value" that scripts and the log dump use.  -j prints one JSON
// object per node, variable names as keys and numbers as numbers.  -n lists
// the names one dotted component below NAME (the server's own labels may
// join several components; they are not shown).  -w re-reads every SECONDS
// and shows each number's change per second, and on a terminal a sparkline
// of the last 60 readings (counters: their rates; gauges: their values);
// Ctrl-C ends it.  --prometheus prints everything in the Prometheus text
// exposition format (see netctl_prom.h).  Whatever the agent sends, the
// tool prints valid UTF-8 (nc_utf8).
//
// Exit status: 0 answered, 1 usage error, 2 connection or protocol error,
// 3 no answer for NAME (the nearest names are suggested).
#include <getopt.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "core/kv.h"
#include "core/netctl/netctl_sock.h"
#include "tools/netctl_client.h"

namespace {

constexpr char DEFAULT_SOCKET[] = "/opt/qorvexa/varnix/run/qorv-netctl.sock";
constexpr size_t HISTORY = 60;

struct opts {
    std::string socket = DEFAULT_SOCKET;
    std::string name;
    bool names = false, parent = false, json = false, prometheus = false;
    double watch = 0;  // seconds between readings; 0: read once
    long count = 0;    // readings with -w; 0: until Ctrl-C
    bool tty = false;  // standard output is a terminal
};

volatile sig_atomic_t stop_signal;

void on_stop(int sig) {
    stop_signal = sig;
}

void usage(FILE *f) {
    fprintf(f,
            "usage: qorv-netctl [-s SOCKET | -r RUNDIR] [-n] [-p] [-j] [NAME]\n"
            "       qorv-netctl [-s SOCKET | -r RUNDIR] -w SECONDS [-c COUNT] [NAME]\n"
            "       qorv-netctl [-s SOCKET | -r RUNDIR] --prometheus\n"
            "Reads the variables of a running program through its control socket.\n"
            "  -s SOCKET     the socket file (default %s)\n"
            "  -r RUNDIR     the socket \"%s\" in the run directory RUNDIR\n"
            "  -n            list the names one component below NAME instead of values\n"
            "  -p            answer for the level that contains NAME\n"
            "  -j            print JSON: one object per node, variables as keys (with -n,\n"
            "                an array of names)\n"
            "  -w SECONDS    read again every SECONDS, with each number's change per second\n"
            "  -c COUNT      with -w, stop after COUNT readings\n"
            "  --prometheus  print every variable in the Prometheus text format\n"
            "  -h            this text\n"
            "On a terminal a node prints as a table; otherwise one \"full.name = value\"\n"
            "line per variable.  Strings and address lists are cut with \"...\" past 63\n"
            "bytes, between characters; bytes that are not UTF-8 print as U+FFFD.\n"
            "Exit status: 0 answered, 1 usage error, 2 connection error, 3 no answer\n"
            "for NAME.\n",
            DEFAULT_SOCKET, NETCTL_SOCK_NAME);
}

int usage_error(const std::string &what) {
    fprintf(stderr, "qorv-netctl: %s\n", what.c_str());
    usage(stderr);
    return NC_USAGE;
}

// 0 to go on, otherwise the exit status.
int parse(int argc, char **argv, opts *o, bool *done) {
    static const struct option longopts[] = {
        {"prometheus", no_argument, nullptr, 'P'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    const char *sock = nullptr, *rundir = nullptr;
    char *end = nullptr;
    int c;
    opterr = 0;
    while ((c = getopt_long(argc, argv, "+s:r:npjw:c:h", longopts, nullptr)) != -1) {
        switch (c) {
            case 's':
                sock = optarg;
                break;
            case 'r':
                rundir = optarg;
                break;
            case 'n':
                o->names = true;
                break;
            case 'p':
                o->parent = true;
                break;
            case 'j':
                o->json = true;
                break;
            case 'P':
                o->prometheus = true;
                break;
            case 'w':
                o->watch = strtod(optarg, &end);
                if (*optarg == '\0' || *end != '\0' || !(o->watch > 0) || o->watch > 86400)
                    return usage_error(std::string("-w needs seconds between 0 and 86400: ") +
                                       optarg);
                break;
            case 'c':
                o->count = strtol(optarg, &end, 10);
                if (*optarg == '\0' || *end != '\0' || o->count < 1)
                    return usage_error(std::string("-c needs a count of 1 or more: ") + optarg);
                break;
            case 'h':
                usage(stdout);
                *done = true;
                return 0;
            default:
                if (optopt == 's' || optopt == 'r' || optopt == 'w' || optopt == 'c')
                    return usage_error(std::string("-") + char(optopt) + " needs an argument");
                if (optopt == 0)
                    return usage_error(std::string("unknown option ") + argv[optind - 1]);
                return usage_error(std::string("unknown option -") + char(optopt));
        }
    }
    if (sock != nullptr && rundir != nullptr) return usage_error("-s and -r exclude each other");
    if (argc - optind > 1) return usage_error("one NAME at most");
    if (argc - optind == 1) o->name = argv[optind];
    if (o->name.size() >= NETCTL_NAME_MAX) return usage_error("NAME is too long: " + o->name);
    if (o->count > 0 && o->watch == 0) return usage_error("-c goes with -w");
    if (o->watch > 0 && (o->names || o->json))
        return usage_error("-w shows values: not with -n or -j");
    if (o->prometheus && (o->names || o->json || o->watch > 0 || o->parent || !o->name.empty()))
        return usage_error("--prometheus prints everything, alone");
    if (sock != nullptr) o->socket = sock;
    if (rundir != nullptr) {
        char path[4096];
        if (netctl_sock_path(path, sizeof(path), rundir) < 0)
            return usage_error(std::string("run directory too long: ") + rundir);
        o->socket = path;
    }
    o->tty = isatty(STDOUT_FILENO) == 1;
    return 0;
}

std::string json_value(const nc_var &v) {
    if (v.type == KV_T_NONE) return "null";
    return v.number() ? v.text : nc_json_string(v.text);
}

// "1234567" -> "1,234,567"; anything but digits as it is.
std::string grouped(const std::string &digits) {
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos)
        return digits;
    std::string out;
    for (size_t i = 0; i < digits.size(); i++) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

const char *type_name(unsigned t) {
    static const char *const names[] = {"none", "char", "u16", "u32", "u64", "string", "ipv4 list"};
    return t < sizeof(names) / sizeof(names[0]) ? names[t] : "?";
}

// Display width of UTF-8 text: one column per character.
size_t width(const std::string &s) {
    size_t n = 0;
    for (unsigned char c : s)
        n += (c & 0xc0) != 0x80;
    return n;
}

// Columns, each padded to its widest cell; right-aligned where asked.
void print_table(const std::vector<std::vector<std::string>> &rows,
                 const std::vector<bool> &right) {
    std::vector<size_t> w(right.size(), 0);
    for (const auto &r : rows)
        for (size_t i = 0; i < r.size(); i++)
            w[i] = std::max(w[i], width(r[i]));
    for (const auto &r : rows) {
        std::string line;
        for (size_t i = 0; i < r.size(); i++) {
            std::string pad(w[i] - width(r[i]), ' ');
            std::string cell = right[i] ? pad + r[i] : r[i] + (i + 1 < r.size() ? pad : "");
            line += (i ? "  " : "") + cell;
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        printf("%s\n", line.c_str());
    }
}

// What the agent sent, as text that may be printed (see nc_utf8).
void printable(std::vector<nc_var> *vars) {
    for (auto &v : *vars) {
        v.node = nc_utf8(v.node);
        v.full = nc_utf8(v.full);
        v.text = nc_utf8(v.text);
    }
}

void print_values(const opts &o, const std::vector<nc_var> &vars) {
    if (o.json) {
        // One object per node, in the order the nodes came.
        std::vector<std::string> nodes;
        std::map<std::string, std::vector<const nc_var *>> by_node;
        for (const auto &v : vars) {
            if (by_node[v.node].empty()) nodes.push_back(v.node);
            by_node[v.node].push_back(&v);
        }
        printf("{");
        for (size_t i = 0; i < nodes.size(); i++) {
            printf("%s\n  %s: {", i ? "," : "", nc_json_string(nodes[i]).c_str());
            const auto &vs = by_node[nodes[i]];
            for (size_t j = 0; j < vs.size(); j++) {
                std::string var = vs[j]->full.substr(nodes[i].empty() ? 0 : nodes[i].size() + 1);
                printf("%s\n    %s: %s", j ? "," : "", nc_json_string(var).c_str(),
                       json_value(*vs[j]).c_str());
            }
            printf("%s}", vs.empty() ? "" : "\n  ");
        }
        printf("%s}\n", nodes.empty() ? "" : "\n");
        return;
    }
    if (!o.tty || vars.size() == 1) {
        for (const auto &v : vars)
            printf("%s = %s\n", v.full.c_str(), v.text.c_str());
        return;
    }
    std::vector<std::vector<std::string>> rows = {{"NAME", "VALUE", "TYPE"}};
    for (const auto &v : vars)
        rows.push_back({v.full, v.number() ? grouped(v.text) : v.text, type_name(v.type)});
    print_table(rows, {false, true, false});
}

void print_names(const opts &o, const std::vector<std::string> &names) {
    if (!o.json) {
        for (const auto &n : names)
            printf("%s\n", nc_utf8(n).c_str());
        return;
    }
    printf("[");
    for (size_t i = 0; i < names.size(); i++)
        printf("%s\n  %s", i ? "," : "", nc_json_string(names[i]).c_str());
    printf("%s]\n", names.empty() ? "" : "\n");
}

int fail(const nc_conn &c, nc_status st) {
    fprintf(stderr, "qorv-netctl: %s\n", c.error.c_str());
    return st;
}

// NAME is not there: say so, with the nearest names the tree has.
int unknown(nc_conn *c, const std::string &name) {
    std::vector<nc_var> all;
    if (nc_status st = nc_read_all(c, &all)) return fail(*c, st);
    std::string msg = "qorv-netctl: no answer for " + (name.empty() ? "the whole tree" : name);
    auto near = nc_nearest(all, name);
    for (size_t i = 0; i < near.size(); i++)
        msg += (i ? ", " : "; nearest names: ") + near[i];
    fprintf(stderr, "%s\n", msg.c_str());
    return NC_UNKNOWN;
}

std::string effective_name(const opts &o) {
    if (!o.parent) return o.name;
    size_t dot = o.name.rfind('.');
    return dot == std::string::npos ? "" : o.name.substr(0, dot);
}

int run_once(const opts &o, nc_conn *c) {
    if (o.names) {
        std::vector<std::string> names;
        nc_status st = nc_names(c, effective_name(o), &names);
        if (st == NC_UNKNOWN) return unknown(c, effective_name(o));
        if (st != NC_OK) return fail(*c, st);
        print_names(o, names);
        return 0;
    }
    std::vector<nc_var> vars;
    nc_status st = nc_read(c, o.name, o.parent, &vars);
    if (st == NC_UNKNOWN) return unknown(c, effective_name(o));
    if (st != NC_OK) return fail(*c, st);
    printable(&vars);
    print_values(o, vars);
    return 0;
}

// "▁▂▃▄▅▆▇█" over the range of the readings.
std::string sparkline(const std::deque<double> &h) {
    static const char *const bars[] = {"▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
    if (h.empty()) return "";
    double lo = h[0], hi = h[0];
    for (double x : h) {
        lo = std::min(lo, x);
        hi = std::max(hi, x);
    }
    std::string out;
    for (double x : h)
        out += bars[hi > lo ? int(std::lround((x - lo) / (hi - lo) * 7)) : 0];
    return out;
}

std::string rate_text(double r) {
    char buf[48];
    snprintf(buf, sizeof(buf), "%+.1f/s", r);
    return buf;
}

// Waits seconds, or less when a stop signal comes.
void pause_for(double seconds) {
    using clock = std::chrono::steady_clock;
    auto end = clock::now() +
               std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(seconds));
    while (!stop_signal) {
        clock::duration left = end - clock::now();
        if (left <= clock::duration::zero()) return;
        clock::duration slice = std::min<clock::duration>(left, std::chrono::milliseconds(100));
        struct timespec ts = {0, long(std::chrono::nanoseconds(slice).count())};
        nanosleep(&ts, nullptr);
    }
}

struct history {
    uint64_t last = 0;
    bool seen = false;
    double rate = 0;
    bool has_rate = false;
    std::deque<double> points;
};

int run_watch(const opts &o, nc_conn *c) {
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::map<std::string, history> hist;
    auto prev = std::chrono::steady_clock::now();
    for (long round = 1; !stop_signal; round++) {
        std::vector<nc_var> vars;
        nc_status st = nc_read(c, o.name, o.parent, &vars);
        if (stop_signal) break;
        if (st == NC_UNKNOWN) return unknown(c, effective_name(o));
        if (st != NC_OK) return fail(*c, st);
        printable(&vars);
        auto now = std::chrono::steady_clock::now();
        double dt = std::chrono::duration<double>(now - prev).count();
        prev = now;
        for (const auto &v : vars) {
            if (!v.number()) continue;
            history &h = hist[v.full];
            h.has_rate = h.seen && dt > 0;
            if (h.has_rate) h.rate = (double(v.num) - double(h.last)) / dt;
            h.last = v.num;
            h.seen = true;
            if (!v.counter || h.has_rate) h.points.push_back(v.counter ? h.rate : double(v.num));
            if (h.points.size() > HISTORY) h.points.pop_front();
        }
        if (o.tty) {
            char stamp[16];
            time_t t = time(nullptr);
            strftime(stamp, sizeof(stamp), "%H:%M:%S", localtime(&t));
            printf("\033[H\033[J%s every %gs, %s  (Ctrl-C ends)\n\n",
                   o.name.empty() ? "everything" : o.name.c_str(), o.watch, stamp);
            std::vector<std::vector<std::string>> rows = {{"NAME", "VALUE", "RATE", "TYPE", ""}};
            for (const auto &v : vars) {
                const history &h = hist[v.full];
                rows.push_back({v.full, v.number() ? grouped(v.text) : v.text,
                                h.has_rate ? rate_text(h.rate) : "", type_name(v.type),
                                sparkline(h.points)});
            }
            print_table(rows, {false, true, true, false, false});
        } else {
            for (const auto &v : vars) {
                const history &h = hist[v.full];
                printf("%s = %s%s\n", v.full.c_str(), v.text.c_str(),
                       h.has_rate ? ("  " + rate_text(h.rate)).c_str() : "");
            }
            printf("\n");
        }
        fflush(stdout);
        if (o.count > 0 && round >= o.count) break;
        pause_for(o.watch);
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    opts o;
    bool done = false;
    if (int rc = parse(argc, argv, &o, &done)) return rc;
    if (done) return 0;
    nc_conn c;
    c.socket = o.socket;
    if (o.prometheus) {
        std::string text;
        if (nc_status st = nc_prometheus(&c, &text)) return fail(c, st);
        fputs(text.c_str(), stdout);
        return 0;
    }
    return o.watch > 0 ? run_watch(o, &c) : run_once(o, &c);
}
