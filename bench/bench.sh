#!/usr/bin/env bash
# Measures blankimg on a 504 MiB disk (blocksize 64, 1024 cylinders, 16 heads,
# 63 sectors of 512 bytes) and prints its figures against the targets:
#   wall time  at most 1.25 x that of dd if=/dev/zero bs=1M writing as many
#              bytes (median of paired runs, order alternating);
#   writes     at most one write system call per 32 KiB of image;
#   memory     peak resident set under 2 MiB.
# Exits 1 when a target is missed. RUNS (default 11) sets the pairs, WORKDIR
# where the images go (default: a folder in the build tree).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build-bench}
work=${WORKDIR:-$build/bench-files}
runs=${RUNS:-11}
geometry=(64 1024 16 63 512)

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target blankimg >/dev/null
tool=$build/blankimg
mkdir -p "$work"
image=$work/blankimg.img
copy=$work/dd.img
trap 'rm -f "$image" "$copy"' EXIT

"$tool" "$image" "${geometry[@]}"
size=$(stat -c %s "$image")

# Wall seconds of one command, written to a fresh file after a sync so that
# neither side pays for the other's dirty pages.
timed() {
  rm -f "$image" "$copy"
  sync
  local start=$EPOCHREALTIME
  "$@"
  local end=$EPOCHREALTIME
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.6f\n", e - s }'
}
run_tool() { "$tool" "$image" "${geometry[@]}"; }
run_dd() { dd if=/dev/zero of="$copy" bs=1M count="$size" iflag=count_bytes status=none; }

ratios=()
tool_times=()
dd_times=()
for ((i = 0; i < runs; i++)); do
  if ((i % 2 == 0)); then
    d=$(timed run_dd)
    t=$(timed run_tool)
  else
    t=$(timed run_tool)
    d=$(timed run_dd)
  fi
  tool_times+=("$t")
  dd_times+=("$d")
  ratios+=("$(awk -v t="$t" -v d="$d" 'BEGIN { printf "%.4f\n", t / d }')")
done
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio=$(median "${ratios[@]}")

calls=$work/syscalls.txt
strace -f -qq -e trace=write,writev,pwrite64,lseek -o "$calls" "$tool" "$image" "${geometry[@]}"
writes=$(grep -c -E '^([0-9]+ +)?(write|writev|pwrite64)\(' "$calls")
seeks=$(grep -c -E '^([0-9]+ +)?lseek\(' "$calls" || true)
rm -f "$calls"
allowed_writes=$(((size + 32767) / 32768))
rss_kib=$(/usr/bin/time -f %M "$tool" "$image" "${geometry[@]}" 2>&1)

verdict() { if awk "BEGIN { exit !($1) }"; then echo met; else echo MISSED; fi; }
time_verdict=$(verdict "$ratio <= 1.25")
write_verdict=$(verdict "$writes <= $allowed_writes")
rss_verdict=$(verdict "$rss_kib < 2048")

printf 'image: %s bytes, %s pairs of runs in %s\n' "$size" "$runs" "$work"
printf 'wall time: blankimg median %ss, dd bs=1M median %ss, median ratio %s (target <= 1.25: %s)\n' \
  "$(median "${tool_times[@]}")" "$(median "${dd_times[@]}")" "$ratio" "$time_verdict"
printf 'write calls: %s, seeks: %s (target <= %s, one per 32 KiB: %s)\n' \
  "$writes" "$seeks" "$allowed_writes" "$write_verdict"
printf 'peak resident memory: %s KiB (target < 2048 KiB: %s)\n' "$rss_kib" "$rss_verdict"
[[ $time_verdict == met && $write_verdict == met && $rss_verdict == met ]]
