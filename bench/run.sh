#!/usr/bin/env bash
# Benchmark of the release build under ru_RU.UTF-8, through pipes, against bench/reference.c
# (the same sessions in plain C stdio, same output bytes, same flush points) and
# bench/minimal.cpp (the least a C++ program does before its first prompt):
#   - a rotation session: item 1 with 20 values, then 2, 3, 4, 5 and 6, in turn;
#   - a display-only session: item 2 again and again;
#   - start-up to exit, the best of 7 rounds of 100 runs each;
#   - a 1 GB line of grouped zeros at an element prompt, and a 1 GB matrix.txt of them.
# Usage: bench/run.sh [ITERATIONS]   (default 400,000; builds the release preset if needed)
set -euo pipefail
cd "$(dirname "$0")/.."
iterations=${1:-400000}

# What it needs besides the build's prerequisites (the README names them): it installs nothing.
for tool in strace:strace time:/usr/bin/time gcc:gcc; do
  if ! command -v "${tool#*:}" >/dev/null; then
    echo "bench/run.sh needs ${tool#*:} (Debian package ${tool%%:*})" >&2
    exit 1
  fi
done

# Each phase says what it does on standard error: the whole run takes about a minute.
phase() { echo "bench/run.sh: $*" >&2; }
phase "building the release preset and the references"
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null
program=$PWD/build/default/matrix-menu
# The program and the references under the same locale; the scripts themselves stay in C.
localized=(env "LOCPATH=$PWD/build/default/locales" LC_ALL=ru_RU.UTF-8)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
gcc -O2 -o "$work/reference" bench/reference.c
g++ -O2 -std=c++20 -o "$work/minimal" bench/minimal.cpp
reference=$work/reference
minimal=$work/minimal

awk -v n="$iterations" 'BEGIN {
  for (k = 0; k < n; ++k) {
    item = k % 6 + 1
    if (item == 1) {
      line = "1\n"
      for (c = 0; c < 20; ++c) line = line ((k * 7 + c * 13) % 1000 - 500) (c % 5 == 4 ? "\n" : " ")
      printf "%s", line
    } else {
      print item
    }
  }
  print 9
}' >"$work/rotation"
awk -v n="$iterations" 'BEGIN {
  print "1 5 -7 123 0 999 -500 42 8 -1 300 11 -99 7 600 -3 250 2 -80 77 1"
  for (k = 0; k < n; ++k) print 2
  print 9
}' >"$work/display"

# cpu NAME SESSION COMMAND: user + system time, in seconds, and peak memory in KiB of one
# piped run; the best of the rounds is kept.
cpu() {
  local name=$1 session=$2 command=$3 user sys rss total best
  /usr/bin/time -f "%U %S %M" -o "$work/time" "${localized[@]}" "$command" <"$work/$session" | cat >/dev/null
  read -r user sys rss <"$work/time"
  total=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
  best=${name}_${session}_cpu
  if [[ -z ${!best:-} ]] || awk -v a="$total" -v b="${!best}" 'BEGIN { exit !(a < b) }'; then
    printf -v "$best" '%s' "$total"
    printf -v "${name}_${session}_rss" '%s' "$rss"
  fi
}

for session in rotation display; do
  "${localized[@]}" "$program" <"$work/$session" | cat >"$work/program.out"
  "${localized[@]}" "$reference" <"$work/$session" | cat >"$work/reference.out"
  if ! cmp -s "$work/program.out" "$work/reference.out"; then
    echo "The program's output differs from the reference's in the $session session:" >&2
    cmp "$work/program.out" "$work/reference.out" >&2 || true
    exit 1
  fi
  printf -v "${session}_bytes" '%s' "$(stat -c %s "$work/program.out")"
  phase "the $session session, 7 rounds each of matrix-menu and the reference"
  # Taking turns, so that whatever else the machine does weighs on both alike.
  for _ in 1 2 3 4 5 6 7; do
    cpu program "$session" "$program"
    cpu reference "$session" "$reference"
  done
done

phase "counting the writes of a rotation session"
writes() {
  "${localized[@]}" strace -f -c -e trace=write -o "$work/strace" "$1" <"$work/rotation" | cat >/dev/null
  awk '$NF == "write" { print $4 }' "$work/strace"
}
program_writes=$(writes "$program")
reference_writes=$(writes "$reference")

phase "start-up to exit, 7 rounds of 100 runs each"
# Start-up to exit: rounds of 100 runs that show the menu once and meet the end of input,
# taking turns; the best round of each, in microseconds per run.
startup() {
  local start end
  start=$(date +%s%N)
  for _ in $(seq 100); do "${localized[@]}" "$1" </dev/null >/dev/null; done
  end=$(date +%s%N)
  local took=$(((end - start) / 100000)) best=${2}_startup
  if [[ -z ${!best:-} ]] || ((took < ${!best})); then
    printf -v "$best" '%s' "$took"
  fi
}
for _ in 1 2 3 4 5 6 7; do
  startup "$program" program
  startup "$reference" reference
  startup "$minimal" minimal
done

phase "a 1 GB line at an element prompt, and a 1 GB matrix.txt"
# 1 GB of grouped zeros ("0" and U+202F 000 again and again): one valid number, 0.
printf '\342\200\257000%.0s' $(seq 100000) >"$work/groups"  # 600,000 bytes
grouped_zeros() {
  printf '0'
  for ((k = 0; k < 1667; ++k)); do cat "$work/groups"; done
}
huge() {
  /usr/bin/time -f "%e %M" -o "$work/huge.time" "${localized[@]}" "$program" >/dev/null
  cat "$work/huge.time"
}
read -r line_seconds line_rss < <({ printf '1\n'; grouped_zeros; printf '\n'; } | huge)
{ grouped_zeros; printf ' 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19\n'; } >"$work/matrix.txt"
read -r file_seconds file_rss < <(cd "$work" && printf '8\n9\n' | huge)

machine="$(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)"
awk -v n="$iterations" -v machine="$machine" \
    -v rb="$rotation_bytes" -v db="$display_bytes" \
    -v prc="$program_rotation_cpu" -v rrc="$reference_rotation_cpu" \
    -v pdc="$program_display_cpu" -v rdc="$reference_display_cpu" \
    -v prm="$program_rotation_rss" -v rrm="$reference_rotation_rss" \
    -v pwr="$program_writes" -v rwr="$reference_writes" \
    -v ps="$program_startup" -v rs="$reference_startup" -v ms="$minimal_startup" \
    -v ls="$line_seconds" -v lm="$line_rss" -v fs="$file_seconds" -v fm="$file_rss" 'BEGIN {
  printf "machine:                 %s\n", machine
  printf "sessions:                %d menu iterations each; output %.0f MB (rotation), %.0f MB (display)\n", n, rb / 1e6, db / 1e6
  printf "                         matrix-menu     C reference   ratio\n"
  printf "rotation, CPU:           %8.2f s      %8.2f s      %5.2f\n", prc, rrc, prc / rrc
  printf "display only, CPU:       %8.2f s      %8.2f s      %5.2f\n", pdc, rdc, pdc / rdc
  printf "peak resident memory:    %8.1f MiB    %8.1f MiB\n", prm / 1024, rrm / 1024
  printf "write calls, rotation:   %8d        %8d\n", pwr, rwr
  printf "start-up to exit:        %8.2f ms     %8.2f ms     %5.2f (minimal C++ program %.2f ms: ratio %.2f)\n", ps / 1000, rs / 1000, ps / rs, ms / 1000, ps / ms
  printf "1 GB grouped zeros:      at an element prompt %.1f s, %.1f MiB; loaded from matrix.txt %.1f s, %.1f MiB\n", ls, lm / 1024, fs, fm / 1024
}'
