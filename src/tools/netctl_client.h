// netctl_client: what a client of the control socket reads from a running
// agent, for qorv-netctl and the agent's own Prometheus textfile writer.
//
// Every request asks for values as text (NETCTL_F_TEXT).  A name is read in
// two steps: first as a variable (op 1), which answers with its record;
// when no record comes back, the subtree is listed (op 3) and what lies at
// or below the name is kept, because the server resolves a name to the
// deepest registered node above it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum nc_status {
    NC_OK = 0,
    NC_USAGE = 1,
    NC_CONNECT = 2,  // no connection, or no whole answer
    NC_UNKNOWN = 3,  // nothing at or below the name
};

struct nc_var {
    std::string node;      // the block's dotted name
    std::string full;      // node and variable name
    unsigned type = 0;     // value type, KV_T_*
    bool counter = false;  // KV_K_COUNTER, and not a metric (moving average)
    uint64_t num = 0;      // numbers (types 2 to 4)
    std::string text;      // the value as text
    bool number() const { return type >= 2 && type <= 4; }
};

struct nc_conn {
    std::string socket;
    int timeout_ms = 5000;
    std::string error;  // what went wrong, for a person
};

// The variables at or below name (every one for ""); with parent, those of
// the level above.  NC_UNKNOWN when there are none.
nc_status nc_read(nc_conn *c, const std::string &name, bool parent, std::vector<nc_var> *out);
// Every variable of the tree.  An empty tree means the agent closed the
// connection without answering: NC_CONNECT.
nc_status nc_read_all(nc_conn *c, std::vector<nc_var> *out);
// The dotted names one component below name: those of the nodes the
// server lists below it (element leaves included, which a walk does not
// show), then those of the variables of the whole tree.  The server's own
// labels, which may join several components, are cut at the first.
nc_status nc_names(nc_conn *c, const std::string &name, std::vector<std::string> *out);
// Up to three names of the tree (variables and the nodes above them) at
// the least edit distance from name; none when even those are far (more
// than a quarter of the name's length, and more than 2).
std::vector<std::string> nc_nearest(const std::vector<nc_var> &all, const std::string &name);
// Every variable as Prometheus exposition text, table instances as labels.
nc_status nc_prometheus(nc_conn *c, std::string *out);

// Text as it may leave the tool: s with every ill-formed UTF-8 part
// replaced by U+FFFD.  What the agent serves is cut between characters,
// but a name or a value may hold any bytes (an interface's name, a string
// from the configuration file).
std::string nc_utf8(const std::string &s);
// s as a JSON string, quotes included: valid UTF-8, with '"', '\\' and
// control characters escaped.
std::string nc_json_string(const std::string &s);
