#!/usr/bin/env bash
# Builds the fuzzers and runs each for a bounded time: fuzz/run.sh [SECONDS] [TARGET...]
# (targets: session_fuzzer file_fuzzer). Inputs they find go to a scratch corpus; crashes,
# leaks and hangs to build/fuzz/artifacts. Copy an input worth keeping into fuzz/corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(session_fuzzer file_fuzzer)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

root=$PWD
# The sessions save and load matrix.txt all the time: on tmpfs, where there is one.
[[ -d /dev/shm && -w /dev/shm ]] && export TMPDIR=/dev/shm
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p build/fuzz/artifacts
for target in "${targets[@]}"; do
  corpus=${target%_fuzzer}
  mkdir -p "$scratch/$corpus"
  echo "==== $target for $seconds s"
  # Absolute paths: each fuzzer works in a scratch directory of its own.
  status=0
  LOCPATH="$root/build/fuzz/locales" "build/fuzz/fuzz/$target" \
    -max_total_time="$seconds" -max_len=1024 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$root/build/fuzz/artifacts/" -print_final_stats=1 \
    "$scratch/$corpus" "$root/fuzz/corpus/$corpus" </dev/null >"$scratch/$target.log" 2>&1 || status=$?
  # libFuzzer's progress lines are many, and so are the entries of the dictionary it
  # recommends; its summary and any finding are what matter.
  sed -e '/^###### Recommended dictionary/,/^###### End of recommended dictionary/d' \
    -e '/^#[0-9]/d' -e '/^INFO:/d' "$scratch/$target.log"
  if ((status != 0)); then
    echo "$target found a fault (status $status): see build/fuzz/artifacts" >&2
    exit 1
  fi
done
