// Running shell commands from the packaging and documentation tests.
#pragma once

#include <stdio.h>
#include <sys/wait.h>

#include <string>

namespace sh {

struct result {
    int status = -1;  // exit status, or -1 when the command did not exit
    std::string out;  // standard output and error together
};

// Single-quotes text for the shell.
inline std::string q(const std::string &text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

inline result run(const std::string &cmd) {
    result r;
    FILE *p = popen(("exec 2>&1; " + cmd).c_str(), "r");
    if (p == nullptr) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        r.out.append(buf, n);
    int st = pclose(p);
    r.status = st != -1 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// Whether a program is on the PATH.
inline bool have(const std::string &prog) {
    return run("command -v " + q(prog) + " >/dev/null").status == 0;
}

// The first line of a command's output.
inline std::string line(const std::string &cmd) {
    std::string out = run(cmd).out;
    return out.substr(0, out.find('\n'));
}

}  // namespace sh
