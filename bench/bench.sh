#!/usr/bin/env bash
# Times blankimg in each --preallocation mode against the tool that does the
# same job: dd if=/dev/zero bs=1M for full, fallocate -l for falloc, and
# truncate -s for off, on images of the same size. Prints a table of ratios
# against the targets, the write calls of full, and the peak RSS of each mode;
# and times --info against cat on a 128 MiB map, --fat against the plain
# image, --from-raw and --to-raw of sparse 10 GiB raw disks, warm and from a
# cold cache, against cp --sparse=always and qemu-img convert; --add and
# --extract of a tree of 1,000 files and one of 10,000 against cp -r and
# mcopy -s, and --list of the larger; then times everything at 64 MiB,
# 256 MiB, 1 GiB and 4 GiB and draws wall time against size as
# doc/scaling.svg (with PLOT=0, not).
#
# Each figure is the fastest of RUNS interleaved runs (default 7), every one
# on a fresh file after a sync: on a disk that discards deleted blocks, the
# medians swing by a factor of ten within one series. Exits 1 when a target
# is missed. BUILD and WORKDIR name the build and the folder for the images.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build-bench}
work=${WORKDIR:-$build/bench-files}
runs=${RUNS:-7}

if [[ ${PLOT:-1} == 1 ]] && ! command -v gnuplot >/dev/null; then
  apt-get install -y --no-install-recommends gnuplot-nox >/dev/null
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target blankimg >/dev/null
tool=$build/blankimg
mkdir -p "$work"
image=$work/image.img
trap 'rm -f "$image"' EXIT

# Wall seconds of one command on a fresh file, after a sync so that no run
# pays for the one before it.
timed() {
  rm -f "$image"
  sync
  local start=$EPOCHREALTIME
  "$@" >/dev/null
  local end=$EPOCHREALTIME
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.6f\n", e - s }'
}
run_mode() { "$tool" --preallocation="$1" "$image" "${@:2}"; }
run_dd() { dd if=/dev/zero of="$image" bs=1M count="$1" iflag=count_bytes status=none; }
run_fallocate() { fallocate -l "$1" "$image"; }
run_truncate() { truncate -s "$1" "$image"; }
true_binary() { /bin/true; }

# Fills best[name] with the fastest time of each command on one geometry;
# the commands take turns, so that a slow spell of the disk hits them all.
declare -A best
time_all() {
  local geometry=("$@") size
  run_mode off "${geometry[@]}"
  size=$(stat -c %s "$image")
  best=()
  local name t
  for ((i = 0; i < runs; i++)); do
    for name in off falloc full dd fallocate truncate; do
      case $name in
      off | falloc | full) t=$(timed run_mode "$name" "${geometry[@]}") ;;
      *) t=$(timed "run_$name" "$size") ;;
      esac
      if [[ -z ${best[$name]:-} ]] || awk "BEGIN { exit !($t < ${best[$name]}) }"; then
        best[$name]=$t
      fi
    done
  done
  best[size]=$size
}

ratio() { awk -v a="${best[$1]}" -v b="${best[$2]}" 'BEGIN { printf "%.3f", a / b }'; }
missed=0
row() {  # figure, measured, target as a comparison (none: shown for scale)
  local verdict=met target
  target=$(sed -E 's/^[^<>]*([<>]=?) */\1 /' <<<"${3:-}")
  if [[ -z ${3:-} ]]; then
    verdict=
  elif ! awk "BEGIN { exit !($3) }"; then
    verdict=MISSED
    missed=1
  fi
  printf '| %s | %s | %s | %s |\n' "$1" "$2" "$target" "$verdict"
}

# Starting any process costs this much here: no run can take less.
floor=$(for ((i = 0; i < runs; i++)); do timed true_binary; done | sort -g | head -1)
echo "| figure | measured | target | verdict |"
echo "|---|---|---|---|"
for disk in "504 MiB disk:64 1024 16 63 512" "2 GiB disk:64 4161 16 63 512"; do
  read -r -a geometry <<<"${disk#*:}"
  label=${disk%%:*}
  time_all "${geometry[@]}"
  row "$label, falloc / dd" "$(ratio falloc dd) (${best[falloc]} s / ${best[dd]} s)" "$(ratio falloc dd) <= 0.03"
  row "$label, falloc / fallocate -l" "$(ratio falloc fallocate) (${best[fallocate]} s)" \
    "$(ratio falloc fallocate) <= 2"
  if [[ $label == 504* ]]; then
    row "$label, full / dd" "$(ratio full dd) (${best[full]} s)" "$(ratio full dd) <= 0.95"
    row "$label, off / dd" "$(ratio off dd) (${best[off]} s)" "$(ratio off dd) <= 0.02"
    row "$label, off / truncate -s" "$(ratio off truncate) (${best[truncate]} s)"
    # The data area's writes follow the marker's; the first of them only
    # fills up to a buffer boundary, and the last takes what is left.
    calls=$work/syscalls.txt
    strace -qq -e trace=pwrite64,write -o "$calls" "$tool" --preallocation=full "$image" "${geometry[@]}"
    read -r count smallest < <(awk -F'= ' '
      data { n++; size[n] = $NF }
      /^p?write(64)?\(.*"EndOfLis"/ { data = 1 }
      END { m = size[2]; for (i = 2; i < n; i++) if (size[i] < m) m = size[i]; print n, m }' "$calls")
    rm -f "$calls"
    row "$label, full: data-area write calls, smallest but the first and last (bytes)" \
      "$count calls, $smallest" "$smallest >= 262144"
    for mode in off falloc full; do
      rss=$(/usr/bin/time -f %M "$tool" --preallocation="$mode" "$image" "${geometry[@]}" 2>&1)
      row "$label, $mode: peak RSS (KiB)" "$rss" "$rss < 2048"
    done
  fi
done
row "starting /bin/true, for scale" "$floor s"
time_all 1 16777216 1 1 0
row "128 MiB map, default / dd" "$(ratio falloc dd) (${best[falloc]} s / ${best[dd]} s)" \
  "$(ratio falloc dd) <= 1.2"

# --info reads the whole map back: against cat of the same image, both from
# the page cache, the fastest of interleaved runs.
run_mode falloc 1 16777216 1 1 0
cat "$image" >/dev/null
best=()
for ((i = 0; i < runs; i++)); do
  for name in info cat; do
    start=$EPOCHREALTIME
    if [[ $name == info ]]; then "$tool" --info "$image" >/dev/null; else cat "$image" >/dev/null; fi
    t=$(awk -v s="$start" -v e="$EPOCHREALTIME" 'BEGIN { printf "%.6f", e - s }')
    if [[ -z ${best[$name]:-} ]] || awk "BEGIN { exit !($t < ${best[$name]}) }"; then
      best[$name]=$t
    fi
  done
done
row "128 MiB map, --info / cat" "$(ratio info cat) (${best[info]} s / ${best[cat]} s)" \
  "$(ratio info cat) <= 1.3"
rss=$(/usr/bin/time -f %M "$tool" --info "$image" 2>&1 >/dev/null)
row "128 MiB map, --info: peak RSS (KiB)" "$rss" "$rss < 2048"

# The fastest of runs interleaved runs of each named command, each on fresh
# output after a sync: commands are "name:shell words", output in $image.
best_of() {
  best=()
  local entry name t
  for ((i = 0; i < runs; i++)); do
    for entry in "$@"; do
      name=${entry%%:*}
      read -r -a words <<<"${entry#*:}"
      t=$(timed "${words[@]}")
      if [[ -z ${best[$name]:-} ]] || awk "BEGIN { exit !($t < ${best[$name]}) }"; then
        best[$name]=$t
      fi
    done
  done
}

# --fat on the 504 MiB disk: what it writes and how long it takes beyond
# the same run without it.
written_by() {  # the bytes the tool writes into the image
  strace -qq -e trace=pwrite64,write -o "$work/writes.txt" "$tool" "$@" "$image" 64 1024 16 63 512
  awk -F'= ' '/^(pwrite64|write)\(3/ { sum += $NF } END { print sum + 0 }' "$work/writes.txt"
}
for mode in falloc off; do
  rm -f "$image"
  plain=$(written_by --preallocation=$mode)
  rm -f "$image"
  formatted=$(written_by --preallocation=$mode --fat)
  row "504 MiB disk, $mode, --fat: bytes written beyond the plain image" "$((formatted - plain))" \
    "$((formatted - plain)) <= 65536"
  best_of "plain:$tool --preallocation=$mode $image 64 1024 16 63 512" \
    "fat:$tool --preallocation=$mode --fat $image 64 1024 16 63 512"
  extra=$(awk -v a="${best[fat]}" -v b="${best[plain]}" 'BEGIN { printf "%.2f", (a - b) * 1000 }')
  row "504 MiB disk, $mode, --fat: time beyond the plain image (ms)" "$extra" "$extra <= 2"
done

# Copies: a 10 GiB raw disk holding 1 GiB of data in 1 MiB runs, and one
# holding 16,384 runs of 64 KiB, in and out with off (a copy's default),
# against cp --sparse=always and, where installed, qemu-img convert -O raw
# of the same file on the same file system. Each row times the two
# commands in turn, PAIRS pairs (default 7), and gives the median of the
# paired ratios with their least and greatest; targets are judged on the
# median. Deleting the last copy and dropping the caches stand outside the
# timed window of both. Cold: the page cache dropped before every run,
# where root may; warm: the source read once before.
pairs=${PAIRS:-7}
raw=$work/disk.raw
back=$work/back.raw
source_image=$work/source.img
if [[ -w /proc/sys/vm/drop_caches ]]; then
  cold_method="sync; echo 3 > /proc/sys/vm/drop_caches before each run"
  caches=(warm cold)
else
  cold_method="none: the caches cannot be dropped without root, so no cold rows"
  caches=(warm)
fi
make_raw() {  # path, runs, run length, distance between runs
  rm -f "$1"
  truncate -s 10G "$1"
  python3 -c "
import os, sys
with open(sys.argv[1], 'r+b') as f:
    for i in range(int(sys.argv[2])):
        f.seek(i * int(sys.argv[4]))
        f.write(os.urandom(int(sys.argv[3])))" "$@"
}
tree_out=$work/tree-out
one_run() {  # warm|cold, command...: wall seconds, outside of its setup
  rm -rf "$back" "$image" "$tree_out"
  sync
  [[ $1 == cold ]] && echo 3 >/proc/sys/vm/drop_caches
  local start=$EPOCHREALTIME
  "${@:2}" >/dev/null 2>&1
  local end=$EPOCHREALTIME
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.6f\n", e - s }'
}
paired() {  # warm|cold, "command A", "command B": median, least and greatest of A/B
  local i a b ratios=()
  read -r -a first <<<"$2"
  read -r -a second <<<"$3"
  [[ $1 == warm ]] && { "${first[@]}" >/dev/null 2>&1; "${second[@]}" >/dev/null 2>&1; }
  for ((i = 0; i < pairs; i++)); do
    a=$(one_run "$1" "${first[@]}")
    b=$(one_run "$1" "${second[@]}")
    ratios+=("$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.3f", a / b }')")
  done
  printf '%s\n' "${ratios[@]}" | sort -g | awk '{ r[NR] = $1 }
    END { printf "%.3f %.3f %.3f\n", (NR % 2 ? r[(NR + 1) / 2] : (r[NR / 2] + r[NR / 2 + 1]) / 2), r[1], r[NR] }'
}
copy_in() { "$tool" --from-raw="$raw" "$image"; }
copy_out() { "$tool" --to-raw="$back" "$source_image"; }
cp_raw() { cp --sparse=always "$raw" "$back"; }
qemu_raw() { qemu-img convert -O raw "$raw" "$back"; }
copy_row() {  # label, cache, ours, peer, peer's name, target
  local median least greatest
  read -r median least greatest < <(paired "$2" "$3" "$4")
  row "$1, $2, ${3#copy_} / $5 (median of $pairs pairs, least-greatest)" \
    "$median ($least-$greatest)" "$median <= $6"
}
row "copies: how the caches were made cold" "$cold_method"
for source in "1 MiB runs:1024 1048576 10485760" "64 KiB runs:16384 65536 655360"; do
  read -r -a shape <<<"${source#*:}"
  label="10 GiB raw, ${shape[0]} x ${source%%:*}"
  make_raw "$raw" "${shape[@]}"
  rm -f "$source_image"
  "$tool" --from-raw="$raw" "$source_image"
  for cache in "${caches[@]}"; do
    for direction in copy_in copy_out; do
      copy_row "$label" "$cache" "$direction" cp_raw "cp --sparse=always" \
        "$([[ $cache == cold ]] && echo 0.8 || echo 1.1)"
      if [[ $cache == cold ]] && command -v qemu-img >/dev/null; then
        copy_row "$label" "$cache" "$direction" qemu_raw "qemu-img convert -O raw" 1.0
      fi
    done
  done
  if [[ ${shape[0]} == 1024 ]]; then
    # The map, and one file-system block for each run of data: the data
    # area does not start on a block boundary. The map is as long as the
    # geometry found for the raw makes it (10 GiB exactly: 4096 cylinders
    # of 128 heads and 40 sectors, one track a block).
    blocks=$("$tool" --output=json --info "$source_image" | sed -E 's/.*"block-count": ([0-9]+).*/\1/')
    allowed=$(( $(stat -c %b "$raw") * 512 + 88 + 8 * blocks + 1024 * 4096 + 4096 ))
    taken=$(( $(stat -c %b "$source_image") * 512 ))
    row "$label, --from-raw off: disk space taken (bytes)" "$taken" "$taken <= $allowed"
    copy_out
    taken=$(( $(stat -c %b "$back") * 512 ))
    row "$label, --to-raw off: disk space taken (bytes)" "$taken" "$taken <= $allowed"
    for direction in copy_in copy_out; do
      rm -f "$back" "$image"
      rss=$(/usr/bin/time -f %M "$tool" $([[ $direction == copy_in ]] && echo "--from-raw=$raw $image" ||
        echo "--to-raw=$back $source_image") 2>&1 >/dev/null)
      row "$label, ${direction#copy_}: peak RSS (KiB)" "$rss" "$rss < 2048"
    done
  fi
done
rm -f "$raw" "$back" "$source_image" "$image"

# Files in and out: a tree of 1,000 files of 100 KiB (100 MiB in all) and
# one of 10,000 small files, each in directories of 100, against cp -r of
# the same tree on the same file system and against mcopy -s into a
# volume --fat made; paired as the copies are.
tree=$work/tree
tree_image=$work/tree.img
make_tree() {  # files, bytes of each
  rm -rf "$tree"
  python3 -c "
import os, sys
for i in range(int(sys.argv[2])):
    folder = os.path.join(sys.argv[1], 'd%03d' % (i // 100))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, 'file %05d.bin' % i), 'wb') as f:
        f.write(os.urandom(int(sys.argv[3]) + i % 512))" "$tree" "$@"
}
add_new() { "$tool" --size=1G --add="$tree/." "$image"; }
extract() { "$tool" --extract="$tree_out" "$tree_image"; }
cp_tree() { cp -r "$tree" "$tree_out"; }
mcopy_tree() {
  "$tool" --size=1G --fat "$image" && MTOOLS_SKIP_CHECK=1 mcopy -s -i "$image@@$volume_at" "$tree"/* ::/
}
volume_at=$("$tool" --dry-run --output=json --size=1G --fat "$image" | sed -E 's/.*"offset": ([0-9]+).*/\1/')
files_row() {  # label, cache, ours, peer, peer's name, target
  local median least greatest
  read -r median least greatest < <(paired "$2" "$3" "$4")
  row "$1, $2, ${3//_/ } / $5 (median of $pairs pairs, least-greatest)" \
    "$median ($least-$greatest)" "$median <= $6"
}
for shape in "1000 102400" "10000 300"; do
  read -r -a counts <<<"$shape"
  label="${counts[0]} files of ${counts[1]} bytes"
  make_tree "${counts[@]}"
  rm -f "$tree_image"
  "$tool" --size=1G --add="$tree/." "$tree_image"
  for cache in "${caches[@]}"; do
    files_row "$label" "$cache" add_new cp_tree "cp -r" 1.5
    command -v mcopy >/dev/null && files_row "$label" "$cache" add_new mcopy_tree "mcopy -s" 1.0
    files_row "$label" "$cache" extract cp_tree "cp -r" 1.5
  done
  if [[ ${counts[0]} == 10000 ]]; then
    # The fastest of a few: a listing is over before the timer's noise is.
    listed=$(for ((i = 0; i < 5; i++)); do one_run warm "$tool" --list "$tree_image"; done | sort -g | head -1)
    row "$label, --list (s, fastest of 5)" "$listed" "$listed < 0.05"
    rm -f "$image"
    rss=$(/usr/bin/time -f %M "$tool" --size=1G --add="$tree/." "$image" 2>&1 >/dev/null)
    row "$label, --add: peak RSS (KiB)" "$rss" "$rss < 2048"
    rm -rf "$tree_out"
    rss=$(/usr/bin/time -f %M "$tool" --extract="$tree_out" "$tree_image" 2>&1 >/dev/null)
    row "$label, --extract: peak RSS (KiB)" "$rss" "$rss < 2048"
  fi
done
rm -rf "$tree" "$tree_image" "$tree_out" "$image"

if [[ ${PLOT:-1} == 1 ]]; then
  data=$work/scaling.dat
  : >"$data"
  for cylinders in 2048 8192 32768 131072; do
    time_all 64 "$cylinders" 1 64 512
    echo "$((cylinders / 32)) ${best[off]} ${best[falloc]} ${best[full]} ${best[dd]} ${best[fallocate]} ${best[truncate]}" >>"$data"
  done
  gnuplot <<PLOT
set terminal svg size 720,480 dynamic font "sans,12"
set output "$root/doc/scaling.svg"
set title "Wall time to create an image, fastest of $runs runs"
set logscale xy
set xlabel "image size (MiB)"
set ylabel "wall time (s)"
set key top left
set grid
plot "$data" using 1:2 with linespoints title "blankimg --preallocation=off", \\
     "$data" using 1:3 with linespoints title "blankimg (falloc, the default)", \\
     "$data" using 1:4 with linespoints title "blankimg --preallocation=full", \\
     "$data" using 1:5 with linespoints title "dd if=/dev/zero bs=1M", \\
     "$data" using 1:6 with linespoints title "fallocate -l", \\
     "$data" using 1:7 with linespoints title "truncate -s"
PLOT
  rm -f "$data"
  echo "plotted: doc/scaling.svg"
fi
exit "$missed"
