// Captures what a piece of code writes to standard output (where log lines
// are echoed before logging is set up).
#pragma once

#include <stdio.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace qt {

inline std::string capture_stdout(const std::function<void()> &fn) {
    fflush(stdout);
    FILE *tmp = tmpfile();
    int saved = dup(STDOUT_FILENO);
    dup2(fileno(tmp), STDOUT_FILENO);
    fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string out;
    rewind(tmp);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), tmp)) > 0)
        out.append(buf, n);
    fclose(tmp);
    return out;
}

inline size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t p = 0; (p = text.find(what, p)) != std::string::npos; p += what.size())
        n++;
    return n;
}

}  // namespace qt
