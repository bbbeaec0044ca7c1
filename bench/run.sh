#!/usr/bin/env bash
# Benchmark: a scripted session of 100,000 menu iterations (item 1 with 20 values, then 2, 3,
# 4, 5, 6 in rotation) through pipes, against bench/reference.c, the same session in plain C
# stdio. Usage: bench/run.sh [ITERATIONS]   (builds the release preset if needed)
set -euo pipefail
cd "$(dirname "$0")/.."
iterations=${1:-100000}

for tool in strace:strace time:/usr/bin/time gcc:gcc; do
  package=${tool%%:*} command=${tool#*:}
  if ! command -v "$command" >/dev/null; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$package" </dev/null
  fi
done

cmake --preset default >/dev/null
cmake --build --preset default >/dev/null
program=$PWD/build/default/matrix-menu
# The program and the reference under the same locale; the script itself stays in C.
localized=(env "LOCPATH=$PWD/build/default/locales" LC_ALL=ru_RU.UTF-8)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
gcc -O2 -o "$work/reference" bench/reference.c
reference=$work/reference

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
}' >"$work/session"

# run NAME COMMAND: CPU seconds (the best of five runs), peak memory and wall time of a piped
# run; the output is kept for comparison.
run() {
  local name=$1 command=$2 best="" user sys rss wall cpu
  for _ in 1 2 3 4 5; do
    cat "$work/session" | /usr/bin/time -f "%U %S %M %e" -o "$work/$name.time" "${localized[@]}" "$command" |
      cat >"$work/$name.out"
    read -r user sys rss wall <"$work/$name.time"
    cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.3f", u + s }')
    if [[ -z $best ]] || awk -v a="$cpu" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best=$cpu
      eval "${name}_cpu=$cpu ${name}_rss=$rss ${name}_wall=$wall"
    fi
  done
}

writes() {
  cat "$work/session" | strace -f -c -e trace=write -o "$work/strace" "${localized[@]}" "$1" >/dev/null
  awk '$NF == "write" { print $4 }' "$work/strace"
}

run program "$program"
run reference "$reference"
if ! cmp -s "$work/program.out" "$work/reference.out"; then
  echo "The program's output differs from the reference's:" >&2
  cmp "$work/program.out" "$work/reference.out" >&2 || true
  exit 1
fi
bytes=$(stat -c %s "$work/program.out")
program_writes=$(writes "$program")
reference_writes=$(writes "$reference")

# Start-up: 200 runs that show the menu once and meet the end of input.
startup() {
  local start end
  start=$(date +%s%N)
  for _ in $(seq 200); do "${localized[@]}" "$1" </dev/null >/dev/null; done
  end=$(date +%s%N)
  echo $(((end - start) / 200000))
}
program_startup=$(startup "$program")
reference_startup=$(startup "$reference")

# A 1 GiB line of junk at the menu and at an element prompt.
junk() {
  { printf '%s\n' "$1"; head -c 1G /dev/zero | tr '\0' x; printf '\n%s\n' "$2"; } |
    /usr/bin/time -f "%M" -o "$work/junk.time" "${localized[@]}" "$program" >/dev/null
  cat "$work/junk.time"
}
junk_menu=$(junk "" "9")
junk_element=$(junk "1" "")

machine="$(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)"
awk -v n="$iterations" -v bytes="$bytes" -v machine="$machine" \
    -v pc="$program_cpu" -v rc="$reference_cpu" -v pw="$program_wall" \
    -v pr="$program_rss" -v rr="$reference_rss" \
    -v pwr="$program_writes" -v rwr="$reference_writes" \
    -v ps="$program_startup" -v rs="$reference_startup" \
    -v jm="$junk_menu" -v je="$junk_element" 'BEGIN {
  printf "machine:                    %s\n", machine
  printf "session:                    %d menu iterations, %.1f MB of output\n", n, bytes / 1e6
  printf "iterations per second:      %.0f (program, wall %.2f s)\n", n / pw, pw
  printf "output MB per second:       %.1f\n", bytes / 1e6 / pw
  printf "CPU time:                   program %.3f s, reference %.3f s, ratio %.2f\n", pc, rc, pc / rc
  printf "peak resident memory:       program %.1f MiB, reference %.1f MiB\n", pr / 1024, rr / 1024
  printf "write calls per iteration:  program %.4f (%d), reference %.4f (%d)\n", pwr / n, pwr, rwr / n, rwr
  printf "start-up to first prompt:   program %.2f ms, reference %.2f ms, ratio %.2f\n", ps / 1000, rs / 1000, ps / rs
  printf "1 GiB junk line, peak RSS:  at the menu %.1f MiB, at an element prompt %.1f MiB\n", jm / 1024, je / 1024
}'
