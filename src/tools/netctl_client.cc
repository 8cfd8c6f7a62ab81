// netctl_client: reading a running agent's tree; see netctl_client.h.
#include "tools/netctl_client.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <set>

#include "core/kv.h"
#include "core/netctl/netctl_sock.h"
#include "tools/netctl_prom.h"

namespace {

struct response {
    std::string name;
    std::vector<char> body;
};

std::string connect_error(const std::string &sock, int err) {
    std::string why = "cannot connect to " + sock + ": " + strerror(err);
    switch (err) {
        case ENOENT:
            return why +
                   " (no agent is running there: is qorv-netmon started, and is this its "
                   "run directory?)";
        case ECONNREFUSED:
            return why + " (the socket file is left from an agent that has stopped)";
        case EACCES:
        case EPERM:
            return why + " (you may not enter the run directory or open the socket)";
        default:
            return why;
    }
}

// Sends one request and reads every response.
nc_status ask(nc_conn *c, const std::string &name, uint8_t op, uint8_t flags,
              std::vector<response> *out) {
    int fd = netctl_client_connect(c->socket.c_str(), c->timeout_ms);
    if (fd < 0) {
        c->error = connect_error(c->socket, -fd);
        return NC_CONNECT;
    }
    int rc = netctl_client_request(fd, name.c_str(), op, flags | NETCTL_F_TEXT);
    const size_t before = out->size();
    std::vector<char> body(65536);
    struct netctl_msg msg;
    char rname[NETCTL_NAME_MAX + 1];
    while (rc == 0) {
        rc = netctl_client_response(fd, &msg, rname, body.data(), body.size());
        if (rc <= 0) break;
        out->push_back({rname, std::vector<char>(body.data(), body.data() + msg.nm_len)});
        rc = 0;
    }
    close(fd);
    if (rc == -EPROTO || rc == -ECONNRESET || rc == -EPIPE) {
        c->error = c->socket + (out->size() == before
                                    ? ": the agent closed the connection without answering"
                                    : ": the agent closed the connection in the middle of its "
                                      "answer");
        return NC_CONNECT;
    }
    if (rc == -EAGAIN || rc == -ETIMEDOUT) {
        c->error = c->socket + ": no answer within " + std::to_string(c->timeout_ms) + " ms";
        return NC_CONNECT;
    }
    if (rc < 0) {
        c->error = c->socket + ": " + strerror(-rc);
        return NC_CONNECT;
    }
    return NC_OK;
}

std::vector<struct kv_record> records_of(const response &r) {
    std::vector<struct kv_record> recs(r.body.size() / sizeof(struct kv_record));
    if (!recs.empty()) memcpy(recs.data(), r.body.data(), recs.size() * sizeof(struct kv_record));
    return recs;
}

// The NUL-terminated text a names listing's body begins with.
std::string label_of(const response &r) {
    return r.body.empty() ? "" : std::string(r.body.data(), strnlen(r.body.data(), r.body.size()));
}

std::string join(const std::string &path, const std::string &name) {
    return path.empty() ? name : path + "." + name;
}

bool at_or_below(const std::string &full, const std::string &name) {
    if (name.empty()) return true;
    return full.compare(0, name.size(), name) == 0 &&
           (full.size() == name.size() || full[name.size()] == '.');
}

nc_var var_of(const std::string &node, const std::string &full, struct kv_record r) {
    nc_var v;
    v.node = node;
    v.full = full;
    v.type = kv_value_type(r.kr_type);
    v.counter = (r.kr_type & KV_K_COUNTER) != 0 && r.kr_valid == 0;
    char buf[KV_VALUE_TEXT_SIZE];
    if (v.type == KV_T_STRING || v.type == KV_T_IPV4_LIST) {
        v.text.assign(netctl_record_text(&r), strnlen(netctl_record_text(&r), NETCTL_TEXT_SIZE));
    } else if (v.type > KV_T_IPV4_LIST) {
        v.text = "<type " + std::to_string(v.type) + ">";
    } else {
        v.text = kv_value_text(&r, buf);
    }
    if (v.type == KV_T_U16) v.num = r.kr_value.u16;
    if (v.type == KV_T_U32) v.num = r.kr_value.u32;
    if (v.type == KV_T_U64) v.num = r.kr_value.u64;
    return v;
}

std::string name_of(const struct kv_record &r) {
    return std::string(r.kr_name, strnlen(r.kr_name, NETCTL_TEXT_OFF));
}

void collect(const std::vector<response> &rs, std::vector<nc_var> *out) {
    for (const auto &r : rs)
        for (const auto &rec : records_of(r))
            out->push_back(var_of(r.name, join(r.name, name_of(rec)), rec));
}

size_t distance(const std::string &a, const std::string &b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); j++)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); i++) {
        size_t diag = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); j++) {
            size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] != b[j - 1])});
            diag = up;
        }
    }
    return row[b.size()];
}

// Table nodes of the tree: for the dotted name above each (the ".*" node's
// parent), the names of its instances.  Found by listing names level by
// level from the root.
std::map<std::string, std::vector<std::string>> tables(nc_conn *c) {
    std::map<std::string, std::vector<std::string>> found;
    std::deque<std::string> todo = {""};
    std::set<std::string> seen;
    for (int asked = 0; !todo.empty() && asked < 4096; asked++) {
        std::string path = todo.front();
        todo.pop_front();
        if (!seen.insert(path).second) continue;
        std::vector<response> rs;
        if (ask(c, path, NETCTL_OP_LIST, NETCTL_F_NAMES, &rs) != NC_OK) break;
        for (const auto &r : rs) {
            std::string label = label_of(r);
            if (r.name.size() >= 2 && r.name.compare(r.name.size() - 2, 2, ".*") == 0) {
                found[r.name.substr(0, r.name.size() - 2)].push_back(label);
                continue;
            }
            // Below the root a child's label begins with '.'; a leaf answers
            // with its records instead, whose names do not.
            if (r.name != path || label.empty() || (!path.empty() && label[0] != '.')) continue;
            todo.push_back(path + label);
        }
    }
    return found;
}

}  // namespace

nc_status nc_read(nc_conn *c, const std::string &asked, bool parent, std::vector<nc_var> *out) {
    std::string name = asked;
    if (parent) name = name.substr(0, std::min(name.size(), name.rfind('.')));
    if (parent && asked.find('.') == std::string::npos) name.clear();
    std::vector<response> rs;
    if (!name.empty()) {
        if (nc_status st = ask(c, name, NETCTL_OP_READ, 0, &rs)) return st;
        if (!rs.empty() && rs[0].body.size() >= sizeof(struct kv_record)) {
            out->push_back(var_of(name.substr(0, std::min(name.size(), name.rfind('.'))), name,
                                  records_of(rs[0]).front()));
            return NC_OK;
        }
        rs.clear();
    }
    if (nc_status st = ask(c, name, NETCTL_OP_LIST, 0, &rs)) return st;
    std::vector<nc_var> all;
    collect(rs, &all);
    for (auto &v : all)
        if (at_or_below(v.full, name)) out->push_back(std::move(v));
    return out->empty() ? NC_UNKNOWN : NC_OK;
}

nc_status nc_read_all(nc_conn *c, std::vector<nc_var> *out) {
    std::vector<response> rs;
    if (nc_status st = ask(c, "", NETCTL_OP_LIST, 0, &rs)) return st;
    collect(rs, out);
    if (out->empty()) {
        c->error = c->socket + ": the agent closed the connection without answering";
        return NC_CONNECT;
    }
    return NC_OK;
}

nc_status nc_names(nc_conn *c, const std::string &name, std::vector<std::string> *out) {
    std::vector<std::string> full;
    std::vector<response> rs;
    if (nc_status st = ask(c, name, NETCTL_OP_LIST, NETCTL_F_NAMES, &rs)) return st;
    for (const auto &r : rs) {
        std::string label = label_of(r);
        // A leaf answers with its records, whose names are not labels.
        if (!label.empty() && (label[0] == '.' || r.name.empty())) full.push_back(r.name + label);
    }
    std::vector<nc_var> all;
    if (nc_status st = nc_read_all(c, &all)) return st;
    for (const auto &v : all)
        full.push_back(v.full);
    std::set<std::string> seen;
    for (const auto &f : full) {
        if (!at_or_below(f, name) || f.size() == name.size()) continue;
        size_t from = name.empty() ? 0 : name.size() + 1;
        std::string next = f.substr(0, f.find('.', from));
        if (seen.insert(next).second) out->push_back(next);
    }
    return out->empty() ? NC_UNKNOWN : NC_OK;
}

std::vector<std::string> nc_nearest(const std::vector<nc_var> &all, const std::string &name) {
    std::set<std::string> names;
    for (const auto &v : all)
        for (size_t dot = 0; dot != std::string::npos; dot = v.full.find('.', dot + 1))
            names.insert(dot == 0 ? v.full : v.full.substr(0, dot));
    // The names at the least distance, if it is small for the name's length.
    size_t best = std::max<size_t>(2, name.size() / 4) + 1;
    std::vector<std::string> out;
    for (const auto &n : names) {
        size_t d = distance(n, name);
        if (d < best) out.clear(), best = d;
        if (d == best && out.size() < 3) out.push_back(n);
    }
    return out;
}

nc_status nc_prometheus(nc_conn *c, std::string *out) {
    std::vector<nc_var> all;
    if (nc_status st = nc_read_all(c, &all)) return st;
    auto tabs = tables(c);
    std::vector<prom_sample> samples;
    for (const auto &v : all) {
        if (v.type == KV_T_NONE) continue;
        prom_sample s;
        s.name = v.full;
        s.counter = v.counter;
        s.number = v.number();
        s.value = v.num;
        s.text = v.text;
        for (const auto &[prefix, instances] : tabs) {
            if (!at_or_below(v.full, prefix) || v.full.size() == prefix.size()) continue;
            std::string rest = v.full.substr(prefix.size() + 1);
            for (const auto &inst : instances)
                if (at_or_below(rest, inst)) {
                    s.name = prefix + ".*" + rest.substr(inst.size());
                    s.label = prom_table_label(prefix.substr(
                        prefix.rfind('.') == std::string::npos ? 0 : prefix.rfind('.') + 1));
                    s.instance = inst;
                }
        }
        samples.push_back(s);
    }
    *out = prom_format(samples);
    return NC_OK;
}

std::string nc_utf8(const std::string &s) {
    std::string out;
    out.reserve(s.size());
    for (size_t at = 0; at < s.size();) {
        int l = kv_utf8_len(s.data() + at, s.size() - at);
        if (l > 0)
            out.append(s, at, size_t(l));
        else
            out += "\xef\xbf\xbd";  // U+FFFD
        at += size_t(l > 0 ? l : -l);
    }
    return out;
}

std::string nc_json_string(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : nc_utf8(s)) {
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
