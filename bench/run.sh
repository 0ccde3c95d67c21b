#!/bin/sh
# Runs the benchmarks: builds the agent and the driver in build-bench, then
# measures in a throwaway HOME and prints medians.
# Usage: bench/run.sh [RUNS [relay|launch|idle]]
set -e
bench=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$bench")
cd "$top"

(cd "$bench" && npm ci --no-audit --no-fund --silent)
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_PROJECT_Kavrel_INCLUDE="$bench/bench.cmake" >/dev/null
cmake --build build-bench -j2 --target kavrel kavrelbench >/dev/null

root=$(mktemp -d "${TMPDIR:-/tmp}/kavrel-bench.XXXXXX")
trap 'rm -rf "$root"' EXIT INT TERM
mkdir -p "$root/home" "$root/config" "$root/data" "$root/cache" "$root/state" "$root/runtime" "$root/logs"
chmod 700 "$root/runtime"
export HOME="$root/home"
export XDG_CONFIG_HOME="$root/config" XDG_DATA_HOME="$root/data" XDG_CACHE_HOME="$root/cache"
export XDG_STATE_HOME="$root/state" XDG_RUNTIME_DIR="$root/runtime"
export QT_QPA_PLATFORM=offscreen
unset DISPLAY
# The stand-in javaws comes first; a thousand idle connections need descriptors.
export PATH="$bench/bin:$PATH"
ulimit -n 4096

build-bench/kavrelbench --kavrel "${KAVREL_BENCH_AGENT:-$top/build-bench/kavrel}" --relay "$bench/relay.js" \
    --root "$root/logs" --runs "${1:-5}" ${2:+--only "$2"} || { tail -n 20 "$root"/logs/*.log >&2; exit 1; }
