#!/bin/sh
# hello-agent with pkg-config instead of CMake, into the current directory.
# The library comes before the program's own sources (see qorv-core.pc).
exec ${CXX:-c++} -std=c++20 -O2 -Wall -Wextra -o hello-agent $(pkg-config --cflags --libs qorv-core) "$(dirname "$0")/hello_agent.cc"
