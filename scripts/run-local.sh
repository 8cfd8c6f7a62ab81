#!/usr/bin/env bash
# Builds the programs, installs them into a local root inside the checkout
# and starts the supervisor there, with the agent as its child.
# Run again, it stops the supervisor it started before, installs the new
# build and starts that.
# Missing build tools are installed first (see scripts/deps.sh).
# Usage: scripts/run-local.sh [root]   (default: ./_root)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
qorv_deps build || exit 1
root=$(mkdir -p "${1:-_root}" && cd "${1:-_root}" && pwd)
build=build-run
jobs=$(nproc 2>/dev/null || echo 2)

gen=$(qorv_generator "$build")
cmake -S . -B "$build" ${gen:+"$gen"} -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQORV_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs"

# A supervisor of this root still running would go on with the programs
# replaced under it: stop it first (it stops its agent), or install nothing.
pidfile="$root/run/qorv-netmon.pid"
pid=$(cat "$pidfile" 2>/dev/null || true)
exe=$(readlink "/proc/${pid:-0}/exe" 2>/dev/null || true)
if [ "${exe% (deleted)}" = "$root/bin/qorv-netmon" ]; then
    echo "Stopping the qorv-netmon already running under $root (pid $pid) before installing."
    kill "$pid"
    # It gives its agent up to 10 seconds to stop.
    for _ in $(seq 150); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$pid" 2>/dev/null; then
        echo "qorv-netmon (pid $pid) is still running; nothing installed." >&2
        exit 1
    fi
fi
cmake --install "$build" --prefix "$root" >/dev/null

# The trailing slash matters: the agent's paths are joined to the root
# without a separator.  The command returns once the agent is started, or
# prints why it could not be.
if ! "$root/bin/qorv-netmon" -r "$root/"; then
    echo "qorv-netmon did not start under $root (log: $root/logs/qorv-netmon.log.0)." >&2
    exit 1
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
