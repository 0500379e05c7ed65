#!/bin/sh
# Wall-time and rate comparison of the station's disk steps with the standard tools, on one
# file system, same run:
#   compare   vqmp-cli compare --advanced  vs  diff -rq        (1 GiB tree of 2,000 files, warm)
#   copy      vqmp-cli copy --slot 1       vs  cp -a           (the same tree onto a volume)
#   rwtest    vqmp-cli rwtest --path       vs  dd direct I/O, 32 MiB blocks
# Usage: bench/disk_vs_tools.sh [VQMP_CLI] [WORK_DIR]
# WORK_DIR must be on a disk file system that takes O_DIRECT (not tmpfs); it is emptied.
set -eu

CLI=${1:-build/cli/vqmp-cli}
WORK=${2:-build/bench-disk}
SCENARIO=${SCENARIO:-examples/station16.json}
RW_MIB=${RW_MIB:-1024}
FILES=${FILES:-2000}
TOTAL_MIB=${TOTAL_MIB:-1024}
RUNS=${RUNS:-3}

CLI=$(realpath "$CLI")
rm -rf "$WORK"
mkdir -p "$WORK"
WORK=$(realpath "$WORK")
SRC=$WORK/src

# Best wall time of RUNS runs of a command, in seconds; "before" runs first each time
# (untimed) to put things back as the timed command expects them.
best() {
    before=$1
    shift
    b=""
    i=0
    while [ "$i" -lt "$RUNS" ]; do
        sh -c "$before"
        s=$(date +%s.%N)
        "$@" >/dev/null 2>&1 || true
        e=$(date +%s.%N)
        t=$(echo "$e - $s" | bc -l)
        if [ -z "$b" ] || [ "$(echo "$t < $b" | bc -l)" = 1 ]; then b=$t; fi
        i=$((i + 1))
    done
    echo "$b"
}

echo "tree: $FILES files, $TOTAL_MIB MiB in $SRC"
python3 - "$SRC" "$FILES" "$TOTAL_MIB" <<'PY'
import os, random, sys
root, files, total = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]) << 20
rnd = random.Random(5742)
# Sizes from a few bytes to a few MiB, scaled to the total.
weights = [rnd.expovariate(1.0) for _ in range(files)]
scale = total / sum(weights)
block = os.urandom(8 << 20)
for i, w in enumerate(weights):
    d = os.path.join(root, "d%02d" % (i % 40), "s%d" % (i % 3))
    os.makedirs(d, exist_ok=True)
    n = max(1, int(w * scale))
    with open(os.path.join(d, "f%04d.bin" % i), "wb") as f:
        off = rnd.randrange(0, 1 << 20)
        while n > 0:
            k = min(n, len(block) - off)
            f.write(block[off:off + k])
            n -= k
            off = 0
PY
cp -a "$SRC" "$WORK/copy"
# Warm cache for both trees.
cat $(find "$SRC" "$WORK/copy" -type f) >/dev/null

echo "== compare (content on, warm cache)"
t_diff=$(best true diff -rq "$SRC" "$WORK/copy")
t_cmp=$(best true "$CLI" --sim none compare --advanced "$SRC" "$WORK/copy")
"$CLI" --sim none compare --advanced "$SRC" "$WORK/copy"
echo "diff -rq: $t_diff s   vqmp-cli compare: $t_cmp s   ratio $(echo "$t_cmp / $t_diff" | bc -l | cut -c1-5) (target <= 1.0)"

echo "== copy of the tree onto a volume"
HOME_DIR=$WORK/home
mkdir -p "$HOME_DIR"
VOL=$WORK/volume
t_cp=$(best "rm -rf '$VOL'" cp -a "$SRC" "$VOL")
rm -rf "$VOL"
t_copy=$(best true "$CLI" --sim "$SCENARIO" --home "$HOME_DIR" --time-scale 0 copy --slot 1 \
    --from "$SRC" --dst bench)
echo "cp -a: $t_cp s   vqmp-cli copy: $t_copy s   ratio $(echo "$t_copy / $t_cp" | bc -l | cut -c1-5) (target <= 1.1)"

echo "== read/write test, $RW_MIB MiB in 32 MiB requests"
RW=$WORK/rw
mkdir -p "$RW"
count=$((RW_MIB / 32))
dd_rate() { # MiB/s from dd's byte count and seconds
    LC_ALL=C "$@" 2>&1 | awk '/bytes/ { for (i = 1; i <= NF; i++) if ($i == "s,") s = $(i-1); print $1 / 1048576 / s }'
}
w_dd=$(dd_rate dd if=/dev/zero of="$RW/dd.bin" bs=32M count=$count oflag=direct conv=fsync)
r_dd=$(dd_rate dd if="$RW/dd.bin" of=/dev/null bs=32M iflag=direct)
rm -f "$RW/dd.bin"
printf '[setting]\nRWDataSize=%d\nPerfShift=1\n' "$RW_MIB" >"$WORK/rw.ini"
out=$("$CLI" --sim none --home "$HOME_DIR" rwtest --path "$RW" --settings "$WORK/rw.ini")
w_vq=$(echo "$out" | awk '/^write:/ { print $2 }')
r_vq=$(echo "$out" | awk '/^read:/ { print $2 }')
echo "dd write: $w_dd MiB/s   rwtest write: $w_vq MB/s   ratio $(echo "$w_vq / $w_dd" | bc -l | cut -c1-5) (target >= 0.95)"
echo "dd read:  $r_dd MiB/s   rwtest read:  $r_vq MB/s   ratio $(echo "$r_vq / $r_dd" | bc -l | cut -c1-5) (target >= 0.95)"
rm -rf "$WORK"
