#!/usr/bin/env bash
# The agent against the peers an operator runs today, on this host, in one
# run: the node exporter (with its netdev, netstat and sockstat collectors)
# and `ss` from iproute2.  Prints one table row per figure with the ratio
# to the peer and the goal where there is one; docs/PERFORMANCE.md keeps the
# figures of a run.  Skips (exit 0) with a message when a peer is missing.
#
#   bench/peers.sh [BUILD_DIR]        (default build; built with -DQORV_BENCH=ON)
#
# Settings (environment): ROUNDS start-ups of each program, interleaved
# (default 5); IDLE_SECONDS of the idle-CPU window (default 60) and
# SCRAPE_SECONDS between two reads of each program's metrics in it (default
# 15, a common scrape interval; 0 for none); KV_SECONDS
# per phase of kv_scale_bench (default 10); SOCKETS for the loaded scan
# (default 10000); SCAN_ROUNDS (default 15).
#
# How each figure is taken:
#   memory   Rss and Private_Dirty of /proc/PID/smaps_rollup: the agent's
#            at its first qorv-netctl answer, the exporter's at its first
#            HTTP 200 on /metrics
#   start    the supervisor's exec in a fresh temporary install root to the
#            first qorv-netctl answer; the exporter's exec to its first 200
#   scans    bench/sockets_bench: one agent scan against `ss -tan` and
#            `ss -tanp` on the same sockets, interleaved, medians
#   kvm      kv_scale_bench: 74,752 kvm objects of eight u64 sampled once a
#            second, CPU above the idle main poll and resident growth
#   idle     utime+stime of /proc/PID/stat over the window, agent and
#            exporter started together, each read every SCRAPE_SECONDS
#            (`qorv-netctl --prometheus`, GET /metrics)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bin=$(cd "$build/bin" && pwd)
rounds=${ROUNDS:-5}
idle_s=${IDLE_SECONDS:-60}
scrape_s=${SCRAPE_SECONDS:-15}
kv_s=${KV_SECONDS:-10}
exporter=prometheus-node-exporter

missing=""
command -v ss >/dev/null || missing="$missing ss (iproute2)"
command -v "$exporter" >/dev/null || missing="$missing $exporter"
command -v curl >/dev/null || missing="$missing curl"
if [ -n "$missing" ]; then
    echo "peers.sh: skipped, not installed:$missing"
    exit 0
fi
for p in qorv-netmon qorv-netagent qorv-netctl sockets_bench kv_scale_bench; do
    [ -x "$bin/$p" ] || { echo "peers.sh: $bin/$p missing (configure with -DQORV_BENCH=ON)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/peers.XXXXXX)
netmon="" exp="" scraper=""
cleanup() {  # whatever is still running of what this script started
    [ -z "$scraper" ] || kill "$scraper" 2>/dev/null || true
    [ -z "$netmon" ] || kill "$netmon" 2>/dev/null || true
    [ -z "$exp" ] || kill "$exp" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

now_us() { echo $(( $(date +%s%N) / 1000 )); }
median() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
# Rss and Private_Dirty of pid, in KiB.
mem_kb() { awk '/^Rss:/ {r=$2} /^Private_Dirty:/ {d=$2} END {print r, d}' "/proc/$1/smaps_rollup"; }
cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'; }
free_port() {
    local p
    while :; do
        p=$(( 20000 + RANDOM % 40000 ))
        ss -Htan "sport = :$p" | grep -q . || { echo "$p"; return; }
    done
}

# Starts the supervisor in a new install root; sets root, netmon, agent and
# start_us (exec to first answer).
start_agent() {
    root="$work/root.$1"
    mkdir -p "$root"/{bin,conf,logs,run,home}
    cp "$bin/qorv-netagent" "$root/bin/"
    local t0 t1
    t0=$(now_us)
    "$bin/qorv-netmon" -r "$root/"
    for _ in $(seq 1 5000); do
        "$bin/qorv-netctl" -r "$root/run" agent.proc.stats >/dev/null 2>&1 && break
    done
    t1=$(now_us)
    start_us=$(( t1 - t0 ))
    netmon=$(cat "$root/run/qorv-netmon.pid")
    agent=$(sed -n 's/.*main: starting qorv-netagent (\([0-9]*\)).*/\1/p' "$root/logs/qorv-netmon.log.0" | tail -1)
}
stop_agent() {
    kill "$netmon" 2>/dev/null || true
    for _ in $(seq 1 500); do [ -e "$root/run/qorv-netmon.pid" ] || break; sleep 0.01; done
    netmon=""
}
# Starts the exporter; sets exp and start_us.  An exporter that cannot
# listen (its port taken by a socket that appeared meanwhile) ends at once:
# that try is not timed, and the next takes another port.
start_exporter() {
    local port t0 t1 try
    for try in 1 2 3 4 5; do
        port=$(free_port)
        t0=$(now_us)
        "$exporter" --collector.disable-defaults --collector.netdev --collector.netstat \
            --collector.sockstat --web.listen-address="127.0.0.1:$port" >"$work/exporter.log" 2>&1 &
        exp=$!
        url="http://127.0.0.1:$port/metrics"
        for _ in $(seq 1 5000); do
            [ "$(curl -s -o /dev/null -w '%{http_code}' "$url")" = 200 ] && break
            kill -0 "$exp" 2>/dev/null || break
        done
        t1=$(now_us)
        kill -0 "$exp" 2>/dev/null && break
        wait "$exp" 2>/dev/null || true
        echo "exporter on port $port ended at start ($(tail -1 "$work/exporter.log")); another port" >&2
    done
    start_us=$(( t1 - t0 ))
}
stop_exporter() {
    kill "$exp" 2>/dev/null || true
    wait "$exp" 2>/dev/null || true
    exp=""
}

row() {  # figure, agent, peer, ratio, goal
    printf '| %s | %s | %s | %s | %s |\n' "$@"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (b > 0) printf "%.2f×", a / b; else printf "—"}'; }

echo "host: $(uname -r), $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo); load at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "peers: $("$exporter" --version 2>&1 | head -1); $(ss -V)"

# Start-ups, interleaved.
: >"$work/a" && : >"$work/e"
for i in $(seq 1 "$rounds"); do
    start_agent "$i"
    echo "$start_us $(mem_kb "$agent")" >>"$work/a"
    stop_agent
    start_exporter
    echo "$start_us $(mem_kb "$exp")" >>"$work/e"
    stop_exporter
done
col() { awk -v c="$2" '{print $c}' "$1" | median; }
a_start=$(col "$work/a" 1) a_rss=$(col "$work/a" 2) a_dirty=$(col "$work/a" 3)
e_start=$(col "$work/e" 1) e_rss=$(col "$work/e" 2) e_dirty=$(col "$work/e" 3)

# Idle CPU, both at once.
start_agent idle
start_exporter
sleep 5
if [ "$scrape_s" -gt 0 ]; then
    while :; do
        "$bin/qorv-netctl" -r "$root/run" --prometheus >/dev/null 2>&1 || true
        curl -s -o /dev/null "$url" || true
        sleep "$scrape_s"
    done &
    scraper=$!
fi
a0=$(cpu_ticks "$agent") e0=$(cpu_ticks "$exp")
sleep "$idle_s"
a1=$(cpu_ticks "$agent") e1=$(cpu_ticks "$exp")
[ -z "$scraper" ] || { kill "$scraper"; wait "$scraper" 2>/dev/null || true; scraper=""; }
stop_agent
stop_exporter
hz=$(getconf CLK_TCK)
a_idle=$(awk -v t=$(( a1 - a0 )) -v hz="$hz" -v s="$idle_s" 'BEGIN {printf "%.3f", 100 * t / hz / s}')
e_idle=$(awk -v t=$(( e1 - e0 )) -v hz="$hz" -v s="$idle_s" 'BEGIN {printf "%.3f", 100 * t / hz / s}')

# Scans and the kvm scale run.
"$bin/sockets_bench" "${SOCKETS:-10000}" "${SCAN_ROUNDS:-15}" 2>/dev/null | grep -E '^(row|ratio|note|warning|skipped)' >"$work/scan" || true
"$bin/kv_scale_bench" "$kv_s" 2>/dev/null | grep 'kvm objects' >"$work/kvm" || true
get() { sed -n "s/^row scan-$1 .*$2=\([0-9.]*\).*/\1/p" "$work/scan"; }

echo
row figure agent peer ratio goal
row --- --- --- --- ---
row "resident memory at the first answer" "$(awk -v k="$a_rss" 'BEGIN {printf "%.1f MiB", k / 1024}')" \
    "node exporter $(awk -v k="$e_rss" 'BEGIN {printf "%.1f MiB", k / 1024}')" "$(ratio "$a_rss" "$e_rss")" "—"
row "private dirty memory at the first answer" "$(awk -v k="$a_dirty" 'BEGIN {printf "%.1f MiB", k / 1024}')" \
    "node exporter $(awk -v k="$e_dirty" 'BEGIN {printf "%.1f MiB", k / 1024}')" "$(ratio "$a_dirty" "$e_dirty")" "—"
row "start to first answer" "$((a_start / 1000)) ms" "node exporter $((e_start / 1000)) ms" \
    "$(ratio "$a_start" "$e_start")" "—"
if grep -q '^row scan-idle' "$work/scan"; then
    row "one socket scan, idle host ($(get idle sockets) sockets)" "$(get idle agent_ms) ms" \
        "ss -tan $(get idle ss_tan_ms) ms" "$(ratio "$(get idle agent_ms)" "$(get idle ss_tan_ms)")" "≤ 2 ms"
    row "one socket scan, $(get loaded sockets) sockets" "$(get loaded agent_ms) ms" \
        "ss -tan $(get loaded ss_tan_ms) ms, ss -tanp $(get loaded ss_tanp_ms) ms" \
        "$(ratio "$(get loaded agent_ms)" "$(get loaded ss_tan_ms)"), $(ratio "$(get loaded agent_ms)" "$(get loaded ss_tanp_ms)")" \
        "≤ 1.0×, ≤ 0.3×"
    row "the same scan without tcp_info (plain netlink)" "$(get loaded plain_ms) ms" "—" \
        "with tcp_info $(ratio "$(get loaded agent_ms)" "$(get loaded plain_ms)")" "≤ 1.2×"
else
    row "socket scans" "—" "—" "—" "$(cat "$work/scan")"
fi
kvm_all=$(sed -n 's/.*: \([0-9.]*\)% of a core.*/\1/p' "$work/kvm")
kvm_share=$(sed -n 's/.*(\([0-9.]*\)% above idle).*/\1/p' "$work/kvm")
kvm_mib=$(sed -n 's/.*resident +\([0-9.]*\) MiB.*/\1/p' "$work/kvm")
row "74,752 kvm × 8 u64 sampled at 1 Hz" \
    "${kvm_all:-?}% of a core (${kvm_share:-?}% above idle), +${kvm_mib:-?} MiB" "—" "—" "< 2%"
row "steady CPU at idle (${idle_s} s, read every ${scrape_s} s)" "$a_idle% of a core" "node exporter $e_idle%" \
    "$(ratio "$a_idle" "$e_idle")" "—"
echo
echo "medians of $rounds interleaved start-ups; agent start $(sort -g "$work/a" | awk '{printf "%s%d", (NR > 1 ? " " : ""), $1 / 1000}') ms, exporter $(sort -g "$work/e" | awk '{printf "%s%d", (NR > 1 ? " " : ""), $1 / 1000}') ms"
echo "idle CPU resolution: one tick (1/$hz s) in $idle_s s = $(awk -v hz="$hz" -v s="$idle_s" 'BEGIN {printf "%.3f", 100 / hz / s}')% of a core"
cat "$work/scan" "$work/kvm"
echo "load at end: $(cut -d' ' -f1-3 /proc/loadavg)"
