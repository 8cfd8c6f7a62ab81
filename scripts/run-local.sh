#!/usr/bin/env bash
# Builds the programs, installs them into a local root inside the checkout
# and starts the supervisor there, with the stand-in agent as its child.
# Usage: scripts/run-local.sh [root]   (default: ./_root)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(mkdir -p "${1:-_root}" && cd "${1:-_root}" && pwd)
build=build-run
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQORV_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs"
cmake --install "$build" --prefix "$root" >/dev/null

pidfile="$root/run/qorv-netmon.pid"
if [ -s "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null; then
    echo "qorv-netmon is already running under $root (pid $(cat "$pidfile"))."
else
    # The trailing slash matters: the agent's paths are joined to the root
    # without a separator.
    "$root/bin/qorv-netmon" -r "$root/"
    for _ in $(seq 50); do [ -s "$pidfile" ] && break; sleep 0.1; done
    sleep 1
fi

cat <<INFO

qorv-netmon is running under $root
  pid file:        $pidfile (pid $(cat "$pidfile" 2>/dev/null || echo '?'))
  supervisor log:  $root/logs/qorv-netmon.log.0
  agent log:       $root/logs/qorv-netagent.log.0
  core files:      $root/home/
  control socket:  $root/run/qorv-netctl.sock
  statistics:      $root/bin/qorv-netctl -r $root/run [NAME]
  stop it with:    kill \$(cat $pidfile)
INFO
echo
echo "--- $root/logs/qorv-netmon.log.0"
tail -n 5 "$root/logs/qorv-netmon.log.0" 2>/dev/null || true
echo
echo "--- live statistics: $root/bin/qorv-netctl -r $root/run"
for _ in $(seq 30); do [ -S "$root/run/qorv-netctl.sock" ] && break; sleep 0.1; done
"$root/bin/qorv-netctl" -r "$root/run" || true
