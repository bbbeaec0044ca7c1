#!/usr/bin/env bash
# Builds the session fuzzer and runs it for a bounded time: fuzz/run.sh [SECONDS]
# New inputs go to a scratch corpus; crashes, leaks and hangs to build/fuzz/artifacts.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

cmake --preset fuzz
cmake --build --preset fuzz

root=$PWD
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p build/fuzz/artifacts
# Absolute paths: the fuzzer works in a scratch directory of its own.
LOCPATH="$root/build/fuzz/locales" build/fuzz/fuzz/session_fuzzer \
  -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$root/build/fuzz/artifacts/" -print_final_stats=1 \
  "$scratch" "$root/fuzz/corpus" </dev/null
