#!/bin/sh
# Runs one test with its own HOME and XDG directories, never the real ones.
root=$(mktemp -d "${TMPDIR:-/tmp}/kavrel-test.XXXXXX") || exit 1
trap 'rm -rf "$root"' EXIT INT TERM
mkdir -p "$root/home" "$root/config" "$root/data" "$root/cache" "$root/state" "$root/runtime"
chmod 700 "$root/runtime"
export HOME="$root/home"
export XDG_CONFIG_HOME="$root/config" XDG_DATA_HOME="$root/data" XDG_CACHE_HOME="$root/cache"
export XDG_STATE_HOME="$root/state" XDG_RUNTIME_DIR="$root/runtime"
export QT_QPA_PLATFORM=offscreen
unset DISPLAY
"$@"
