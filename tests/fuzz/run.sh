#!/bin/sh
# Builds the fuzz targets with clang and runs each for SECONDS (default 30)
# over a copy of its seeds; a crash ends the script with a failure and leaves
# the input that caused it in build-fuzz/.
set -e
seconds=${1:-30}
root=$(cd "$(dirname "$0")/../.." && pwd)
build="$root/build-fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAVREL_FUZZ=ON >/dev/null
cmake --build "$build" -j2 --target fuzzers
for corpus in "$root"/tests/fuzz/corpus/*/; do
    name=$(basename "$corpus")
    work="$build/corpus-$name"
    mkdir -p "$work"
    cp "$corpus"* "$work/"
    echo "fuzz_$name: $seconds s"
    status=0
    (cd "$build" && "./tests/fuzz/fuzz_$name" -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=65536 \
        -print_final_stats=1 "$work" >"$build/fuzz_$name.log" 2>&1) || status=$?
    tail -n 8 "$build/fuzz_$name.log"
    [ "$status" -eq 0 ] || { echo "fuzz_$name failed: see $build/fuzz_$name.log"; exit 1; }
done
