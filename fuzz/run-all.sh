#!/bin/sh
# Builds the fuzz targets with clang in BUILD_DIR and runs each one, one at
# a time, for SECONDS seconds on its seed corpus and its saved regressions.
# Fails as soon as a target crashes or breaks one of its checks; the input
# that did it is left in BUILD_DIR/fuzz-artifacts/.
#
#   fuzz/run-all.sh BUILD_DIR [SECONDS]     (default 60)
set -eu
build=${1:?usage: fuzz/run-all.sh BUILD_DIR [SECONDS]}
secs=${2:-60}
src=$(cd "$(dirname "$0")/.." && pwd)

CC=clang CXX=clang++ cmake -S "$src" -B "$build" -G Ninja -DQORV_FUZZ=ON -DQORV_TESTS=OFF >/dev/null
ninja -C "$build" -j2 netctl_request_fuzz netctl_tree_fuzz npmd_opts_fuzz kv_fuzz kv_metadata_fuzz kvc_file_fuzz kv_metrics_fuzz \
    agent_diag_fuzz kv_text_fuzz

mkdir -p "$build/fuzz-artifacts"
for target in netctl_request netctl_tree npmd_opts kv kv_metadata kvc_file kv_metrics agent_diag kv_text; do
    work="$build/fuzz-corpus/$target"
    mkdir -p "$work"
    maxlen=4096
    [ "$target" = netctl_request ] && maxlen=132
    echo "== $target: $secs s"
    dirs="$work $src/fuzz/corpus/$target"
    [ -d "$src/fuzz/regressions/$target" ] && dirs="$dirs $src/fuzz/regressions/$target"
    # New inputs go to the scratch corpus (the first directory); the
    # committed seeds stay as they are.
    # shellcheck disable=SC2086
    if ! "$build/bin/${target}_fuzz" -max_total_time="$secs" -max_len="$maxlen" \
            -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/${target}-" \
            $dirs >"$build/fuzz-artifacts/$target.log" 2>&1; then
        tail -40 "$build/fuzz-artifacts/$target.log"
        echo "FAIL: $target crashed; see $build/fuzz-artifacts/" >&2
        exit 1
    fi
    grep -E '^#[0-9]+.*(cov|DONE)' "$build/fuzz-artifacts/$target.log" | tail -1
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "$build/fuzz-artifacts/$target.log"
done
echo "all fuzz targets ran $secs s without a crash"
