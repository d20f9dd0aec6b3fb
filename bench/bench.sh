#!/usr/bin/env bash
# Times blankimg in each --preallocation mode against the tool that does the
# same job: dd if=/dev/zero bs=1M (and with oflag=direct) for full, at
# 504 MiB and at twice the page cache, fallocate -l for falloc, and
# truncate -s and qemu-img create for off, on images of the same size.
# Prints a table of paired ratios against the targets, the write calls of
# full, and the peak RSS of each mode; and times --info on a map of 16M
# blocks against dd of the map, --fat against the plain image, --from-raw
# and --to-raw of sparse and dense raw disks, warm and from a cold cache,
# against cp --sparse=always and qemu-img convert, and on XFS against
# cp --reflink=auto; --add and --extract of a tree of 1,000 files and one
# of 10,000 against cp -r and mcopy -s, and --list of the larger; then
# times everything at 64 MiB, 256 MiB, 1 GiB and 4 GiB and draws wall time
# against size as doc/scaling.svg (with PLOT=0, not).
#
# Each row of two commands times them in turn, PAIRS pairs (default 7), each
# run on fresh output after a sync, and gives the median of the paired
# ratios with the least and greatest; the --fat rows and the plot take the
# fastest of RUNS interleaved runs (default 7). Exits 1 when a target is
# missed. In a virtual machine whose kernel hands freed memory back to the
# host after min_free_ms, that is held at its longest while the script runs.
# BUILD and WORKDIR name the build and the folder for the images;
# LARGE_PAIRS (default 7) the pairs of the disk past the page cache; ONLY
# the parts to run, of modes, map, fat, copies, xfs, files and plot (all).
# ONLY=copies PAIRS=5 bench/bench.sh gives the copy rows in a quarter hour.
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
# A virtual machine whose balloon hands freed memory back to its host pays
# the host's faults when it touches that memory again: a run that starts on
# such pages took four times as long here, whichever command it was. Where
# the kernel keeps memory freed less than min_free_ms ago, unless more than
# max_waiting_mib of it waits (a dropped cache is more), root may hold both
# at their longest for the run; they are set back after.
reporting=/sys/module/page_reporting/parameters
kept_ms= kept_mib=
if [[ -w $reporting/min_free_ms && -w $reporting/max_waiting_mib ]]; then
  kept_ms=$(cat "$reporting/min_free_ms")
  kept_mib=$(cat "$reporting/max_waiting_mib")
  for ms in 3600000 300000 60000; do
    echo "$ms" 2>/dev/null >"$reporting/min_free_ms" && break
  done
  awk '/^MemTotal:/ { print int($2 / 1024) }' /proc/meminfo >"$reporting/max_waiting_mib" || true
fi
finish() {
  rm -f "$image"
  [[ -z $kept_ms ]] || echo "$kept_ms" >"$reporting/min_free_ms"
  [[ -z $kept_mib ]] || echo "$kept_mib" >"$reporting/max_waiting_mib"
}
trap finish EXIT

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

missed=0
wanted() { [[ -z ${ONLY:-} || " $ONLY " == *" $1 "* ]]; }
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

# The rows that hold two commands against each other time them in turn,
# PAIRS pairs of them (default 7), each on fresh output after a sync, and
# give the median of the paired ratios with their least and greatest.
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
median_of() {  # numbers, one a line: their median, least and greatest
  sort -g | awk '{ r[NR] = $1 }
    END { printf "%.3f %.3f %.3f\n", (NR % 2 ? r[(NR + 1) / 2] : (r[NR / 2] + r[NR / 2 + 1]) / 2), r[1], r[NR] }'
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
  printf '%s\n' "${ratios[@]}" | median_of
}
pair_row() {  # label, cache, "command A", "command B", target on the median (or none)
  local median least greatest
  read -r median least greatest < <(paired "$2" "$3" "$4")
  row "$1 (median of $pairs pairs, least-greatest)" "$median ($least-$greatest)" \
    "${5:+$median $5}"
}

# Starting any process costs this much here: no run can take less.
floor=$(for ((i = 0; i < runs; i++)); do timed true_binary; done | sort -g | head -1)
echo "| figure | measured | target | verdict |"
echo "|---|---|---|---|"
run_dd_direct() { dd if=/dev/zero of="$image" bs=1M count="$1" iflag=count_bytes oflag=direct status=none; }
run_qemu_create() { qemu-img create -q -f raw "$image" "$1"; }
for disk in "504 MiB disk:64 1024 16 63 512" "2 GiB disk:64 4161 16 63 512"; do
  wanted modes || break
  read -r -a geometry <<<"${disk#*:}"
  label=${disk%%:*}
  run_mode off "${geometry[@]}"
  size=$(stat -c %s "$image")
  # Each mode against the tool that does its job: reserving, sizing, writing.
  pair_row "$label, falloc / fallocate -l" warm "run_mode falloc ${geometry[*]}" "run_fallocate $size" \
    "<= 2"
  pair_row "$label, off / truncate -s" warm "run_mode off ${geometry[*]}" "run_truncate $size"
  if command -v qemu-img >/dev/null; then
    pair_row "$label, off / qemu-img create -f raw" warm "run_mode off ${geometry[*]}" \
      "run_qemu_create $size"
  fi
  if [[ $label == 504* ]]; then
    pair_row "$label, full / dd bs=1M" warm "run_mode full ${geometry[*]}" "run_dd $size" "<= 0.95"
    pair_row "$label, full / dd bs=1M oflag=direct" warm "run_mode full ${geometry[*]}" \
      "run_dd_direct $size"
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

# full on a disk twice what MemAvailable says, where the file system has
# the room: the page cache cannot hold it, and what each run leaves dirty
# in it is reported. LARGE_PAIRS pairs (default 7): a run takes minutes.
dirty_now() { awk '/^Dirty:/ { print $2 }' /proc/meminfo; }
available=$(($(awk '/^MemAvailable:/ { print $2 }' /proc/meminfo) * 1024))
large=$((2 * available))
if wanted modes && (($(df --output=avail -B1 "$work" | tail -1) > large + (4 << 30))); then
  cylinders=$(((large + 516095) / 516096))
  bytes=$((cylinders * 516096))
  label="$((bytes >> 30)) GiB disk (twice MemAvailable), full"
  for peer in "dd bs=1M:run_dd" "dd bs=1M oflag=direct:run_dd_direct"; do
    ratios=() dirty_ours=0 dirty_peer=0
    for ((i = 0; i < ${LARGE_PAIRS:-7}; i++)); do
      a=$(one_run warm run_mode full 64 "$cylinders" 16 63 512)
      dirty=$(dirty_now)
      ((dirty > dirty_ours)) && dirty_ours=$dirty
      b=$(one_run warm "${peer#*:}" "$bytes")
      dirty=$(dirty_now)
      ((dirty > dirty_peer)) && dirty_peer=$dirty
      ratios+=("$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.3f", a / b }')")
    done
    read -r median least greatest < <(printf '%s\n' "${ratios[@]}" | median_of)
    row "$label / ${peer%%:*} (median of ${#ratios[@]} pairs, least-greatest)" \
      "$median ($least-$greatest)"
    row "$label / ${peer%%:*}: page cache left dirty, most after a run (KiB)" \
      "$dirty_ours / $dirty_peer"
  done
  rm -f "$image"
else
  row "twice MemAvailable, full: not measured" "the file system has not $((large >> 30)) GiB free"
fi

row "starting /bin/true, for scale" "$floor s"
# A map of 16,777,216 one-sector blocks of 512 bytes (128 MiB of map for an
# 8 GiB disk): made, and read back by --info, against dd of as many bytes
# of the map; warm and cold.
map_image=$work/map.img
map_bytes=$((88 + 8 * 16777216))
make_map() { "$tool" --preallocation=falloc "$image" 1 16777216 1 1 512; }
info_map() { "$tool" --info "$map_image"; }
read_map() { dd if="$map_image" of=/dev/null bs=1M count="$map_bytes" iflag=count_bytes status=none; }
if wanted map; then
  pair_row "16M-block map, default / dd of the map's bytes" warm make_map "run_dd $map_bytes" "<= 1.2"
  "$tool" --preallocation=off "$map_image" 1 16777216 1 1 512
  for cache in "${caches[@]}"; do
    pair_row "16M-block map, $cache, --info / dd of the map" "$cache" info_map read_map "<= 1.3"
  done
  rss=$(/usr/bin/time -f %M "$tool" --info "$map_image" 2>&1 >/dev/null)
  row "16M-block map, --info: peak RSS (KiB)" "$rss" "$rss < 2048"
  rm -f "$map_image"
fi

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
  wanted fat || break
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

# Copies: a 10 GiB raw disk holding 1 GiB of data in 1 MiB runs, one
# holding 16,384 runs of 64 KiB and one of 163,840 runs of 4 KiB, and a
# dense 4 GiB raw, in and out with off (a copy's default),
# against cp --sparse=always and, where installed, qemu-img convert -O raw
# of the same file on the same file system. Each row times the two
# commands in turn, PAIRS pairs (default 7), and gives the median of the
# paired ratios with their least and greatest; targets are judged on the
# median. Deleting the last copy and dropping the caches stand outside the
# timed window of both. Cold: the page cache dropped before every run,
# where root may; warm: the source read once before.
make_raw() {  # path, runs, run length, distance between runs[, length of the raw]
  rm -f "$1"
  truncate -s "${5:-10G}" "$1"
  python3 -c "
import os, sys
with open(sys.argv[1], 'r+b') as f:
    for i in range(int(sys.argv[2])):
        f.seek(i * int(sys.argv[4]))
        f.write(os.urandom(int(sys.argv[3])))" "$@"
}
copy_in() { "$tool" --from-raw="$raw" "$image"; }
copy_out() { "$tool" --to-raw="$back" "$source_image"; }
cp_raw() { cp --sparse=always "$raw" "$back"; }
qemu_raw() { qemu-img convert -O raw "$raw" "$back"; }
copy_row() {  # label, cache, ours, peer, peer's name, target (or none)
  pair_row "$1, $2, ${3#copy_} / $5" "$2" "$3" "$4" "${6:+<= $6}"
}
if wanted copies; then
  row "copies: how the caches were made cold" "$cold_method"
  [[ -r $reporting/reported_kib ]] && reported_before=$(cat "$reporting/reported_kib")
fi
# The raws: sparse, 10 GiB holding 1 GiB in runs of 1 MiB, 64 KiB or 4 KiB
# a tenth of the way apart; and dense, 4 GiB of data with no hole.
for source in "1 MiB runs:1024 1048576 10485760" "64 KiB runs:16384 65536 655360" \
  "4 KiB runs:163840 4096 65536" "dense:4096 1048576 1048576 4G"; do
  wanted copies || break
  read -r -a shape <<<"${source#*:}"
  if [[ ${source%%:*} == dense ]]; then
    label="4 GiB raw, dense"
  else
    label="10 GiB raw, ${shape[0]} x ${source%%:*}"
  fi
  make_raw "$raw" "${shape[@]}"
  rm -f "$source_image"
  "$tool" --from-raw="$raw" "$source_image"
  for cache in "${caches[@]}"; do
    for direction in copy_in copy_out; do
      copy_row "$label" "$cache" "$direction" cp_raw "cp --sparse=always" \
        "$([[ $cache == cold ]] && echo 0.8 || echo 1.1)"
      if command -v qemu-img >/dev/null; then
        copy_row "$label" "$cache" "$direction" qemu_raw "qemu-img convert -O raw" \
          "$([[ $cache == cold ]] && echo 1.0)"
      fi
    done
  done
  # The disk each copy takes against the source's data: at most the data,
  # the map and one file-system block for each run of data, as the data
  # area does not start on a block boundary (the map is as long as the
  # geometry found for the raw makes it, one track a block); the peers'
  # for scale.
  data=$(( $(stat -c %b "$raw") * 512 ))
  blocks=$("$tool" --output=json --info "$source_image" | sed -E 's/.*"block-count": ([0-9]+).*/\1/')
  allowed=$(( data + 88 + 8 * blocks + shape[0] * 4096 + 4096 ))
  taken=$(( $(stat -c %b "$source_image") * 512 ))
  row "$label, --from-raw off: disk space taken (bytes, of $data of data)" "$taken" "$taken <= $allowed"
  for peer in copy_out cp_raw qemu_raw; do
    [[ $peer == qemu_raw ]] && ! command -v qemu-img >/dev/null && continue
    rm -f "$back"
    "$peer"
    taken=$(( $(stat -c %b "$back") * 512 ))
    if [[ $peer == copy_out ]]; then
      row "$label, --to-raw off: disk space taken (bytes, of $data of data)" "$taken" "$taken <= $allowed"
    else
      row "$label, ${peer%_raw}: disk space taken (bytes, of $data of data)" "$taken"
    fi
  done
  if [[ ${shape[0]} == 1024 ]]; then
    for direction in copy_in copy_out; do
      rm -f "$back" "$image"
      rss=$(/usr/bin/time -f %M "$tool" $([[ $direction == copy_in ]] && echo "--from-raw=$raw $image" ||
        echo "--to-raw=$back $source_image") 2>&1 >/dev/null)
      row "$label, ${direction#copy_}: peak RSS (KiB)" "$rss" "$rss < 2048"
    done
  fi
done
rm -f "$raw" "$back" "$source_image" "$image"
if wanted copies && [[ -n ${reported_before:-} ]]; then
  # Nonzero: some runs paid the host's faults, and their rows are the noisier.
  row "copies: memory handed back to the VM's host meanwhile (KiB; freed memory kept $(cat "$reporting/min_free_ms") ms, up to $(cat "$reporting/max_waiting_mib") MiB)" \
    "$(($(cat "$reporting/reported_kib") - reported_before))"
fi

# XFS, where it can be made and loop-mounted (root): the 1 MiB-run copies
# against cp --reflink=auto, which shares the source's blocks there;
# reported, with no target yet.
xfs_made=
if wanted xfs && [[ $EUID == 0 ]] && ! command -v mkfs.xfs >/dev/null; then
  apt-get install -y --no-install-recommends xfsprogs >/dev/null 2>&1 || true
fi
if wanted xfs && [[ $EUID == 0 ]] && command -v mkfs.xfs >/dev/null; then
  xfs_file=$work/xfs.fs
  xfs_mount=$work/xfs
  rm -f "$xfs_file"
  truncate -s 40G "$xfs_file"
  mkdir -p "$xfs_mount"
  if mkfs.xfs -q -m reflink=1 "$xfs_file" && mount -o loop "$xfs_file" "$xfs_mount"; then
    xfs_made=1
    trap 'finish; umount "$xfs_mount" 2>/dev/null; rm -f "$xfs_file"' EXIT
    saved=("$raw" "$back" "$image" "$source_image")
    raw=$xfs_mount/disk.raw back=$xfs_mount/back.raw image=$xfs_mount/image.img
    source_image=$xfs_mount/source.img
    make_raw "$raw" 1024 1048576 10485760
    "$tool" --from-raw="$raw" "$source_image"
    cp_reflink() { cp --reflink=auto --sparse=always "$raw" "$back"; }
    for direction in copy_in copy_out; do
      pair_row "XFS, 10 GiB raw, 1024 x 1 MiB runs, warm, ${direction#copy_} / cp --reflink=auto" warm \
        "$direction" cp_reflink
    done
    rm -f "$raw" "$back" "$image" "$source_image"
    raw=${saved[0]} back=${saved[1]} image=${saved[2]} source_image=${saved[3]}
    umount "$xfs_mount"
    trap finish EXIT
  fi
  rm -f "$xfs_file"
fi
wanted xfs && [[ -z $xfs_made ]] && row "XFS: not measured" "mkfs.xfs or a loop mount is not to be had"

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
  pair_row "$1, $2, ${3//_/ } / $5" "$2" "$3" "$4" "<= $6"
}
for shape in "1000 102400" "10000 300"; do
  wanted files || break
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

if wanted plot && [[ ${PLOT:-1} == 1 ]]; then
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
