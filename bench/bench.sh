#!/usr/bin/env bash
# Times blankimg in each --preallocation mode against the tool that does the
# same job: dd if=/dev/zero bs=1M for full, fallocate -l for falloc, and
# truncate -s for off, on images of the same size. Prints a table of ratios
# against the targets, the write calls of full, and the peak RSS of each mode;
# and times --info against cat on a 128 MiB map; then times everything at 64 MiB, 256 MiB, 1 GiB and 4 GiB and draws wall
# time against size as doc/scaling.svg (with PLOT=0, not).
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
