// qorv-netctl: reads the variables of a running program through its control
// socket.
//
//   qorv-netctl [-s SOCKET | -r RUNDIR] [-n] [-p] [-j] [NAME]
//
// How a name is asked for.  The server answers a read (op 1) of a variable
// with its record, a read of a node that has a leaf with an empty body, and
// a read of anything else with nothing at all.  The tool therefore first
// reads NAME: a record is printed as "NAME = VALUE".  Otherwise it lists
// (op 3): every variable below NAME, or with -n the names one level down.
// The server resolves a name to the deepest registered node above it, so a
// listing keeps only what lies at or below NAME; a name with nothing there
// is unknown.  With -p the answer concerns the level that contains NAME
// and is printed whole.
//
// Every request asks for values as text (NETCTL_F_TEXT): strings and
// address lists, which otherwise carry no value at all, arrive as text in
// each record's text area, cut with "..." when longer than 63 characters.
//
// Exit status: 0 answered, 1 usage error, 2 connection or protocol error,
// 3 no answer for NAME.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/netctl/netctl_sock.h"

namespace {

constexpr char DEFAULT_SOCKET[] = "/opt/qorvexa/varnix/run/qorv-netctl.sock";
constexpr int CLIENT_TIMEOUT_MS = 5000;
constexpr int EXIT_USAGE = 1, EXIT_CONNECT = 2, EXIT_UNKNOWN = 3;

struct opts {
    std::string socket = DEFAULT_SOCKET;
    std::string name;
    bool names = false, parent = false, json = false;
};

struct response {
    std::string name;
    std::vector<char> body;
};

// One printed line: a full name and, unless names are listed, a value.
struct entry {
    std::string name;
    std::string text;  // value as text
    std::string json;  // value as JSON
};

void usage(FILE *f) {
    fprintf(f,
            "usage: qorv-netctl [-s SOCKET | -r RUNDIR] [-n] [-p] [-j] [NAME]\n"
            "Reads the variables of a running program through its control socket.\n"
            "  -s SOCKET  the socket file (default %s)\n"
            "  -r RUNDIR  the socket \"%s\" in the run directory RUNDIR\n"
            "  -n         list the names one level below NAME instead of values\n"
            "  -p         answer for the level that contains NAME (parent mode)\n"
            "  -j         print JSON: an object of full names and values (with -n, an\n"
            "             array of names)\n"
            "  -h         this text\n"
            "A variable prints as \"NAME = VALUE\"; a node or no NAME prints every\n"
            "variable below it, one \"full.name = value\" line each.  Strings print\n"
            "as text, address lists as comma-separated dotted quads, each cut with\n"
            "\"...\" past 63 characters.\n"
            "Exit status: 0 answered, 1 usage error, 2 connection error, 3 no answer\n"
            "for NAME.\n",
            DEFAULT_SOCKET, NETCTL_SOCK_NAME);
}

int usage_error(const std::string &what) {
    fprintf(stderr, "qorv-netctl: %s\n", what.c_str());
    usage(stderr);
    return EXIT_USAGE;
}

// 0 to go on, otherwise the exit status.
int parse(int argc, char **argv, opts *o, bool *done) {
    const char *sock = nullptr, *rundir = nullptr;
    int c;
    opterr = 0;
    while ((c = getopt(argc, argv, "+s:r:npjh")) != -1) {
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
            case 'h':
                usage(stdout);
                *done = true;
                return 0;
            default:
                if (optopt == 's' || optopt == 'r')
                    return usage_error(std::string("-") + char(optopt) + " needs an argument");
                return usage_error(std::string("unknown option -") + char(optopt));
        }
    }
    if (sock != nullptr && rundir != nullptr) return usage_error("-s and -r exclude each other");
    if (argc - optind > 1) return usage_error("one NAME at most");
    if (argc - optind == 1) o->name = argv[optind];
    if (o->name.size() >= NETCTL_NAME_MAX) return usage_error("NAME is too long: " + o->name);
    if (sock != nullptr) o->socket = sock;
    if (rundir != nullptr) {
        char path[4096];
        if (netctl_sock_path(path, sizeof(path), rundir) < 0)
            return usage_error(std::string("run directory too long: ") + rundir);
        o->socket = path;
    }
    return 0;
}

// Sends one request and reads every response.  0, or the exit status.
int ask(const opts &o, uint8_t op, uint8_t flags, std::vector<response> *out) {
    int fd = netctl_client_connect(o.socket.c_str(), CLIENT_TIMEOUT_MS);
    if (fd < 0) {
        fprintf(stderr, "qorv-netctl: cannot connect to %s: %s\n", o.socket.c_str(), strerror(-fd));
        return EXIT_CONNECT;
    }
    int rc = netctl_client_request(fd, o.name.c_str(), op, flags | NETCTL_F_TEXT);
    static char body[65536];
    struct netctl_msg msg;
    char name[NETCTL_NAME_MAX + 1];
    while (rc == 0) {
        rc = netctl_client_response(fd, &msg, name, body, sizeof(body));
        if (rc <= 0) break;
        out->push_back({name, std::vector<char>(body, body + msg.nm_len)});
        rc = 0;
    }
    close(fd);
    if (rc < 0) {
        fprintf(stderr, "qorv-netctl: %s: %s\n", o.socket.c_str(), strerror(-rc));
        return EXIT_CONNECT;
    }
    return 0;
}

std::string json_string(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c == 0x7f) {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\u%04x", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

entry record_entry(const std::string &full, struct kv_record r) {
    unsigned t = kv_value_type(r.kr_type);
    char buf[KV_VALUE_TEXT_SIZE];
    if (t > KV_T_IPV4_LIST) {
        snprintf(buf, sizeof(buf), "<type %u>", t);
        return {full, buf, json_string(buf)};
    }
    // Strings and address lists come as text, in the text area.
    std::string text = (t == KV_T_STRING || t == KV_T_IPV4_LIST)
                           ? std::string(netctl_record_text(&r), strnlen(netctl_record_text(&r),
                                                                         NETCTL_TEXT_SIZE))
                           : kv_value_text(&r, buf);
    if (t == KV_T_NONE) return {full, "", "null"};
    bool number = t >= KV_T_U16 && t <= KV_T_U64;
    return {full, text, number ? text : json_string(text)};
}

std::vector<struct kv_record> records_of(const response &r) {
    std::vector<struct kv_record> recs(r.body.size() / sizeof(struct kv_record));
    if (!recs.empty()) memcpy(recs.data(), r.body.data(), recs.size() * sizeof(struct kv_record));
    for (auto &rec : recs)
        rec.kr_name[sizeof(rec.kr_name) - 1] = '\0';
    return recs;
}

std::string join(const std::string &path, const std::string &name) {
    return path.empty() ? name : path + "." + name;
}

// The full name below path that a names listing reports: a child's label
// (it begins with '.', or is a whole first component below the root), or
// the name of an instance of a table node (path ends in ".*").
std::string listed_name(const std::string &path, const std::vector<char> &body) {
    std::string label =
        body.empty() ? "" : std::string(body.data(), strnlen(body.data(), body.size()));
    if (path.size() >= 2 && path.compare(path.size() - 2, 2, ".*") == 0)
        return join(path.substr(0, path.size() - 2), label);
    return path + label;
}

bool at_or_below(const std::string &full, const std::string &name) {
    if (name.empty()) return true;
    return full.compare(0, name.size(), name) == 0 &&
           (full.size() == name.size() || full[name.size()] == '.');
}

void print(const opts &o, const std::vector<entry> &entries) {
    if (!o.json) {
        for (const auto &e : entries) {
            if (o.names)
                printf("%s\n", e.name.c_str());
            else
                printf("%s = %s\n", e.name.c_str(), e.text.c_str());
        }
        return;
    }
    printf(o.names ? "[" : "{");
    for (size_t i = 0; i < entries.size(); i++) {
        const auto &e = entries[i];
        printf("%s\n  %s", i ? "," : "", json_string(e.name).c_str());
        if (!o.names) printf(": %s", e.json.c_str());
    }
    printf("%s%s\n", entries.empty() ? "" : "\n", o.names ? "]" : "}");
}

int run(const opts &o) {
    std::vector<response> rs;
    std::vector<entry> entries;
    const uint8_t parent = o.parent ? NETCTL_F_PARENT : 0;
    // First a read: a variable answers with its record, a node with a leaf
    // with an empty body, anything else not at all.
    bool leaf = false;
    if (!o.name.empty()) {
        if (int rc = ask(o, NETCTL_OP_READ, parent, &rs)) return rc;
        if (!rs.empty() && rs[0].body.size() >= sizeof(struct kv_record)) {
            auto rec = records_of(rs[0]).front();
            entries.push_back(record_entry(o.name, rec));
            print(o, entries);
            return 0;
        }
        leaf = !rs.empty();
        rs.clear();
    }
    uint8_t flags = parent | (o.names ? NETCTL_F_NAMES : 0);
    if (int rc = ask(o, NETCTL_OP_LIST, flags, &rs)) return rc;
    for (const auto &r : rs) {
        if (o.names && !leaf) {
            entries.push_back({listed_name(r.name, r.body), "", ""});
            continue;
        }
        // A leaf answers a listing with its records, names mode or not.
        for (const auto &rec : records_of(r))
            entries.push_back(record_entry(join(r.name, rec.kr_name), rec));
    }
    if (!o.parent) {
        std::vector<entry> kept;
        for (auto &e : entries)
            if (at_or_below(e.name, o.name)) kept.push_back(std::move(e));
        entries.swap(kept);
    }
    if (entries.empty()) {
        fprintf(stderr, "qorv-netctl: no answer for %s\n",
                o.name.empty() ? "the whole tree" : o.name.c_str());
        return EXIT_UNKNOWN;
    }
    print(o, entries);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    opts o;
    bool done = false;
    if (int rc = parse(argc, argv, &o, &done)) return rc;
    if (done) return 0;
    return run(o);
}
