#!/usr/bin/env bash
# The station's FAT32 formatter ("vqmp-cli format-image") against the system's
# "mkfs.fat -F 32" on sparse images of 32 GiB, 256 GiB and 2000 GiB, same machine, same run.
# Each side formats a fresh image RUNS times (the median wall time counts); the last image of
# each side must pass "fsck.fat -n". Prints one line a size with both times and the ratio,
# and fails when a ratio is above its target (1.0 at 32 and 256 GiB, 0.5 at 2000 GiB).
#
#   bench/format-image-vs-mkfs.sh [path/to/vqmp-cli]
#   RUNS=5 SIZES="32G" BENCH_DIR=/var/tmp bench/format-image-vs-mkfs.sh
set -euo pipefail

cli=${1:-build/cli/vqmp-cli}
runs=${RUNS:-3}
sizes=(${SIZES:-32G 256G 2000G})
export PATH="$PATH:/usr/sbin:/sbin"
for tool in mkfs.fat fsck.fat truncate; do
  command -v "$tool" >/dev/null || { echo "missing $tool (dosfstools, coreutils)" >&2; exit 2; }
done
[[ -x "$cli" ]] || { echo "missing $cli: build the vqmp-cli target first" >&2; exit 2; }

dir=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/vq-format-bench.XXXXXX")
trap 'rm -rf "$dir"' EXIT

now() { date +%s.%N; }
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
target() { case "$1" in 2000G) echo 0.5 ;; *) echo 1.0 ;; esac; }

# Formats a fresh sparse image with one side and prints the wall time in seconds.
run_once() {
  local side=$1 size=$2 img=$3 t0 t1
  rm -f "$img"
  truncate -s "$size" "$img"
  t0=$(now)
  if [[ $side == mkfs ]]; then
    mkfs.fat -F 32 "$img" >/dev/null
  else
    "$cli" --sim none format-image "$img" >/dev/null
  fi
  t1=$(now)
  awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.6f\n", b - a}'
}

status=0
printf '%-6s  %12s  %12s  %6s  %6s  %s\n' size mkfs.fat format-image ratio target fsck
for size in "${sizes[@]}"; do
  declare -A best=()
  for side in mkfs station; do
    img="$dir/$side.img"
    times=()
    for ((i = 0; i < runs; i++)); do times+=("$(run_once "$side" "$size" "$img")"); done
    best[$side]=$(printf '%s\n' "${times[@]}" | median)
    if fsck.fat -n "$img" >"$dir/$side.fsck" 2>&1; then
      best[$side.fsck]=ok
    else
      best[$side.fsck]=FAILED
      cat "$dir/$side.fsck" >&2
      status=1
    fi
    rm -f "$img"
  done
  ratio=$(awk -v s="${best[station]}" -v m="${best[mkfs]}" 'BEGIN {printf "%.4f", s / m}')
  goal=$(target "$size")
  verdict="mkfs ${best[mkfs.fsck]}, station ${best[station.fsck]}"
  if awk -v r="$ratio" -v g="$goal" 'BEGIN {exit !(r > g)}'; then
    verdict="$verdict, ratio above target"
    status=1
  fi
  printf '%-6s  %11.3fs  %11.3fs  %6.2f  %6.1f  %s\n' "$size" "${best[mkfs]}" \
    "${best[station]}" "$ratio" "$goal" "$verdict"
  unset best
done
exit $status
