#include "support/test_support.h"

#include <gtest/gtest.h>

#include "core/agent_config.h"
#include "core/logging.h"

#include <dirent.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qt {

TempDir::TempDir() {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qorv-test-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    remove_tree(path_);
}

SmallFs::SmallFs(const std::string &opts) : dir_(tmp_ / "fs") {
    mkdir(dir_.c_str(), 0755);
    if (mount("tmpfs", dir_.c_str(), "tmpfs", 0, opts.c_str()) == 0)
        mounted_ = true;
    else
        why_ = strerror(errno);
}

SmallFs::~SmallFs() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
}

void remove_tree(const std::string &path) {
    nftw(
        path.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool file_exists(const std::string &path) {
    return access(path.c_str(), F_OK) == 0;
}

long file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

int count_entries(const std::string &path) {
    DIR *d = opendir(path.c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (struct dirent *e = readdir(d))
        n += strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0;
    closedir(d);
    return n;
}

long ms_since(std::chrono::steady_clock::time_point t0) {
    auto d = std::chrono::steady_clock::now() - t0;
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

void presize(const std::string &path, long size) {
    if (!file_exists(path)) write_file(path, "");
    ASSERT_EQ(truncate(path.c_str(), size), 0) << path;
}

void log_to(const std::string &base) {
    static char dest[] = "file";
    static agent_config cfg;
    static std::string path;
    path = base;
    cfg = agent_config{};
    cfg.ac_dest = dest;
    cfg.ac_logfile = path.data();
    agent_cfg = &cfg;
    tr_set_echo(0);
    tr_init();
}

std::string captured(const std::function<void()> &fn) {
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

std::string echoed(const std::function<void()> &fn) {
    return captured([&] {
        tr_set_echo(1);
        fn();
        fflush(stdout);
        tr_set_echo(0);
    });
}

void echo_to_stderr() {
    fflush(stdout);
    dup2(2, 1);
    tr_set_echo(1);
}

}  // namespace qt
