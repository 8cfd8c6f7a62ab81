// Helpers shared by the test programs.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace qt {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);
bool file_exists(const std::string &path);
long file_size(const std::string &path);  // -1 when missing
std::vector<std::string> split_lines(const std::string &text);
void remove_tree(const std::string &path);
// Entries of a directory other than "." and "..", or -1 when it cannot be read.
int count_entries(const std::string &path);
long ms_since(std::chrono::steady_clock::time_point t0);
// Makes path a sparse file of size bytes.
void presize(const std::string &path, long size);
// Starts file logging to base (base.0) in this process, without echo.
void log_to(const std::string &base);

// A small tmpfs mounted for one test (opts as for mount -o), unmounted at
// the end; mounted() is false where the test may not mount one.
class SmallFs {
  public:
    explicit SmallFs(const std::string &opts);
    ~SmallFs();
    SmallFs(const SmallFs &) = delete;
    SmallFs &operator=(const SmallFs &) = delete;
    bool mounted() const { return mounted_; }
    const std::string &why() const { return why_; }
    std::string operator/(const std::string &n) const { return dir_ + "/" + n; }

  private:
    TempDir tmp_;
    std::string dir_, why_;
    bool mounted_ = false;
};

// Runs fn and returns what it printed on standard output.
std::string captured(const std::function<void()> &fn);
// The same with the log echo on (log lines echo to standard output, also
// before logging is set up); off again afterwards.
std::string echoed(const std::function<void()> &fn);
// For death-test statements: the echo goes to standard error from here on,
// where the death test matches it along with the stop.
void echo_to_stderr();

}  // namespace qt
