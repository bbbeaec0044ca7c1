#!/usr/bin/env bash
# clang-tidy over what a build compiles, in parallel: tools/tidy.sh [BUILD_DIR [REGEX]]
# (default build/default, every file). Names each file as it is done (a whole run takes
# minutes), prints nothing else when all is clean, and fails on any warning (.clang-tidy
# makes them errors). The Windows files are in no Linux build: the cross
# compiler checks them with -Werror.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
filter=${2:-.}
# Silence would read as a clean pass: say what is missing.
if ! command -v clang-tidy >/dev/null; then
  echo "tools/tidy.sh needs clang-tidy (Debian package clang-tidy)" >&2
  exit 1
fi
if [[ ! -f $build/compile_commands.json ]]; then
  echo "tools/tidy.sh needs $build/compile_commands.json: configure that build first" >&2
  exit 1
fi
mapfile -t files < <(sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$build/compile_commands.json" |
  grep -E -- "$filter" | sort -u)
echo "tools/tidy.sh: ${#files[@]} files"
# Standard error only counts the warnings it suppressed in system headers.
printf '%s\n' "${files[@]}" | xargs -P "$(nproc)" -I {} sh -c \
  'clang-tidy -p "$1" --quiet "$2" 2>/dev/null; status=$?; echo "  ${2#"$3"/}"; exit "$status"' \
  tidy "$build" {} "$PWD"
