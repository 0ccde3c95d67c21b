#!/bin/sh
# Runs the benchmarks: builds the agent and the driver in build-bench, then
# measures in a throwaway HOME and prints medians.
# Usage: bench/run.sh [RUNS [relay|launch|idle|wakeups]]
set -e
bench=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$bench")
cd "$top"

(cd "$bench" && npm ci --no-audit --no-fund --silent)
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_PROJECT_Kavrel_INCLUDE="$bench/bench.cmake" >/dev/null
cmake --build build-bench -j2 --target kavrel kavrelbench >/dev/null

# Logs outside the throwaway HOME and XDG directories, which go with the run.
logs=$(mktemp -d "${TMPDIR:-/tmp}/kavrel-bench.XXXXXX")
trap 'rm -rf "$logs"' EXIT INT TERM
# The stand-in javaws comes first; a thousand idle connections need descriptors.
export PATH="$bench/bin:$PATH"
ulimit -n 4096

tests/isolated.sh build-bench/kavrelbench --kavrel "${KAVREL_BENCH_AGENT:-$top/build-bench/kavrel}" \
    --relay "$bench/relay.js" --root "$logs" --runs "${1:-5}" ${2:+--only "$2"} \
    || { tail -n 20 "$logs"/*.log >&2; exit 1; }
