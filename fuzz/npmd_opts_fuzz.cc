// Fuzz target: the supervisor's command line and the paths it derives:
// npmd_parse_opts, npmd_fix_proc_mon_list and the program path of each
// monitored process, without detaching or touching the disk.
//
// Input: the first byte chooses the name of a second monitored entry; the
// rest, split at NUL bytes, is the argument vector after the program name.
// Every path must come out whole (root plus its fixed suffix, never cut) or
// be refused, and nothing may be written past a fixed buffer: the program
// path buffer is a heap block of exactly its size, so that a write past it
// is caught.
#include <getopt.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/logging.h"
#include "fuzz_support.h"
#include "supervisor/npmd.h"

namespace fz_opts {

bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string str(const char *s) {
    FZ_CHECK(s != nullptr);
    return s;
}

void check_entry(const struct npm_proc &p, const std::string &root) {
    if (strncmp(p.np_name, "qorv-netagent", 13) != 0) {
        FZ_CHECK(p.np_dir == nullptr && p.np_argv[1] == nullptr);
        return;
    }
    FZ_CHECK(str(p.np_dir) == root + "bin/");
    const std::string want[] = {"-c", root + "conf/", "-l", root + "logs/", "-r", root + "run/"};
    for (int i = 0; i < 6; i++)
        FZ_CHECK(str(p.np_argv[i + 1]) == want[i]);
    for (int i = 7; i <= NPM_ARGV_SLOTS; i++)
        FZ_CHECK(p.np_argv[i] == nullptr);

    auto *buf = static_cast<char *>(malloc(NPM_PATH_MAX));
    std::string path = root + "bin/" + p.np_name;
    int rc = npm_program_path(&p, buf, NPM_PATH_MAX);
    if (path.size() < NPM_PATH_MAX)
        FZ_CHECK(rc == 0 && path == buf);
    else
        FZ_CHECK(rc == -1 && buf[0] == '\0');  // refused, not cut
    free(buf);
}

int one_input(const uint8_t *data, size_t size) {
    static bool quiet = (tr_set_echo(0), opterr = 0, true);
    (void)quiet;
    fz::Reader in(data, size);
    static const char *const names[] = {"qorv-netagent", "qorv-netagent-with-a-longer-name",
                                        "other-agent", "qorv-netagen"};
    std::string second = names[in.u8() & 3];
    if (second.size() > 20) second += std::string(in.u8(), 'n');

    std::vector<std::string> args{"qorv-netmon"};
    std::string rest = in.bytes(size);
    for (size_t at = 0; at <= rest.size() && args.size() < 24;) {
        size_t end = rest.find('\0', at);
        if (end == std::string::npos) end = rest.size();
        args.push_back(rest.substr(at, end - at));
        at = end + 1;
    }
    std::vector<std::string> given = args;  // getopt reorders argv
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    struct npmd_conf c;
    FZ_CHECK(npmd_conf_init(&c) == 0);
    int rc = npmd_parse_opts(int(argv.size() - 1), argv.data(), &c);
    FZ_CHECK(rc == 0 || rc == -1);
    if (rc == 0) {
        std::string root = str(c.nc_root);
        const std::string dflt = "/opt/qorvexa/varnix/";
        bool found = root == dflt;
        for (size_t i = 1; i < given.size() && !found; i++)
            found =
                !root.empty() ? ends_with(given[i], root) : given[i].empty() || given[i] == "-r";
        FZ_CHECK(found);                                            // a root is an argument, whole
        if (root != dflt || str(c.nc_homedir) != dflt + "home/") {  // derived from -r
            FZ_CHECK(str(c.nc_homedir) == root + "/home/");
            FZ_CHECK(str(c.nc_logdir) == root + "/logs/");
            FZ_CHECK(str(c.nc_rundir) == root + "/run/");
            FZ_CHECK(str(c.nc_logfile) == root + "/logs//qorv-netmon.log");
        } else {
            FZ_CHECK(str(c.nc_logdir) == dflt + "logs/" && str(c.nc_rundir) == dflt + "run/");
            FZ_CHECK(str(c.nc_logfile) == dflt + "logs/qorv-netmon.log");
        }
        FZ_CHECK(str(c.nc_pidfile) == str(c.nc_rundir) + "qorv-netmon.pid");

        static char argv0[] = "qorv-netagent";
        struct npm_proc list[2] = {{"qorv-netagent", nullptr, {argv0}, 0, 0, 0},
                                   {second.c_str(), nullptr, {argv0}, 0, 0, 0}};
        FZ_CHECK(npmd_fix_proc_mon_list(&c, list, 2) == 0);
        // A second fill replaces the first without leaking it.
        FZ_CHECK(npmd_fix_proc_mon_list(&c, list, 2) == 0);
        for (const struct npm_proc &p : list)
            check_entry(p, root);
        for (struct npm_proc &p : list)
            npm_proc_release(&p);
    }
    npmd_conf_release(&c);
    return 0;
}

}  // namespace fz_opts

int fz_run_npmd_opts(const uint8_t *data, size_t size) {
    return fz_opts::one_input(data, size);
}

FZ_DRIVER(fz_run_npmd_opts)
