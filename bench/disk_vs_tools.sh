#!/bin/sh
# Wall-time and rate comparison of the station's disk steps with the standard tools, on one
# file system, same run:
#   compare   vqmp-cli compare --advanced  vs  diff -rq        (1 GiB tree of 2,000 files, warm)
#   copy      vqmp-cli copy --slot 1       vs  cp -a           (the same tree onto a volume)
#   rwtest    vq_rwtest_host (the station's read/write test on the host's file service)
#             vs  dd direct I/O, 32 MiB blocks, for each size of RW_SIZES (MiB; 32 is the
#             size examples/production16.ini asks for)
# Usage: bench/disk_vs_tools.sh [VQMP_CLI] [WORK_DIR]
# WORK_DIR must be on a disk file system that takes O_DIRECT; it is emptied.
# ONLY="compare copy rwtest" chooses the comparisons (all by default); RWTEST names the
# read/write test program (default: beside VQMP_CLI's build, bench/vq_rwtest_host).
set -eu

CLI=${1:-build/cli/vqmp-cli}
WORK=${2:-build/bench-disk}
SCENARIO=${SCENARIO:-examples/station16.json}
RW_SIZES=${RW_SIZES:-32 256 1024}
ONLY=${ONLY:-compare copy rwtest}
FILES=${FILES:-2000}
TOTAL_MIB=${TOTAL_MIB:-1024}
RUNS=${RUNS:-3}

CLI=$(realpath -m "$CLI")
RWTEST=${RWTEST:-$(dirname "$CLI")/../bench/vq_rwtest_host}
want() { case " $ONLY " in *" $1 "*) return 0 ;; esac; return 1; }
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

if want compare || want copy; then
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

fi

if want compare; then
echo "== compare (content on, warm cache)"
t_diff=$(best true diff -rq "$SRC" "$WORK/copy")
t_cmp=$(best true "$CLI" --sim none compare --advanced "$SRC" "$WORK/copy")
"$CLI" --sim none compare --advanced "$SRC" "$WORK/copy"
echo "diff -rq: $t_diff s   vqmp-cli compare: $t_cmp s   ratio $(echo "$t_cmp / $t_diff" | bc -l | cut -c1-5) (target <= 1.0)"

fi

if want copy; then
echo "== copy of the tree onto a volume"
HOME_DIR=$WORK/home
mkdir -p "$HOME_DIR"
VOL=$WORK/volume
t_cp=$(best "rm -rf '$VOL'" cp -a "$SRC" "$VOL")
rm -rf "$VOL"
t_copy=$(best true "$CLI" --sim "$SCENARIO" --home "$HOME_DIR" --time-scale 0 copy --slot 1 \
    --from "$SRC" --dst bench)
echo "cp -a: $t_cp s   vqmp-cli copy: $t_copy s   ratio $(echo "$t_copy / $t_cp" | bc -l | cut -c1-5) (target <= 1.1)"

fi

if want rwtest; then
echo "== read/write test in 32 MiB requests (best of $RUNS, runs interleaved)"
# The station's test procedure on the host's file service (vq_rwtest_host) against
# dd if=/dev/zero of=F bs=32M oflag=direct and dd if=F of=/dev/null bs=32M iflag=direct.
RW=$WORK/rw
mkdir -p "$RW"
dd_rate() { # MiB/s from dd's byte count and seconds
    LC_ALL=C "$@" 2>&1 | awk '/bytes/ { for (i = 1; i <= NF; i++) if ($i == "s,") s = $(i-1); print $1 / 1048576 / s }'
}
max() { echo "$1 $2" | awk '{ print ($1 > $2) ? $1 : $2 }'; }
for mib in $RW_SIZES; do
    count=$((mib / 32))
    w_dd=0 r_dd=0 w_vq=0 r_vq=0
    i=0
    while [ "$i" -lt "$RUNS" ]; do
        w_dd=$(max "$w_dd" "$(dd_rate dd if=/dev/zero of="$RW/dd.bin" bs=32M count=$count oflag=direct)")
        r_dd=$(max "$r_dd" "$(dd_rate dd if="$RW/dd.bin" of=/dev/null bs=32M iflag=direct)")
        rm -f "$RW/dd.bin"
        out=$("$RWTEST" "$RW" "$mib" 1)
        w_vq=$(max "$w_vq" "$(echo "$out" | awk '/^write:/ { print $2 }')")
        r_vq=$(max "$r_vq" "$(echo "$out" | awk '/^read:/ { print $2 }')")
        i=$((i + 1))
    done
    echo "$mib MiB: dd write $w_dd MiB/s   rwtest write $w_vq MiB/s   ratio $(echo "$w_vq / $w_dd" | bc -l | cut -c1-5) (target >= 0.95)"
    echo "$mib MiB: dd read  $r_dd MiB/s   rwtest read  $r_vq MiB/s   ratio $(echo "$r_vq / $r_dd" | bc -l | cut -c1-5) (target >= 0.95)"
done
fi
rm -rf "$WORK"
