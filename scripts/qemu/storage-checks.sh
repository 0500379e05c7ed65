# Runs inside the guest (sourced by its /init, which provides section()): vqmp-cli on the
# Linux host platform against the USB disks QEMU attaches. /etc/vq-test.conf sets
#   DISKS    the USB serial numbers of every disk attached
#   PREPARE  the disks to partition, format and read/write test
# Every result goes to the console between markers; the host side judges them.
. /etc/vq-test.conf
export HOME=/root
mkdir -p /tmp/station
cli() {
    vqmp-cli --home /tmp/station "$@"
}

# The block device of the USB disk with serial $1: the USB device is three levels above the
# SCSI device of the disk.
disk_of() {
    for b in /sys/block/sd*; do
        [ -e "$b" ] || continue
        dev=$(readlink -f "$b/device")
        if [ "$(cat "$dev/../../../../serial" 2>/dev/null)" = "$1" ]; then
            echo "/dev/${b##*/}"
            return 0
        fi
    done
    return 1
}

# No udev here: poll sysfs until every disk and its SCSI generic node are there (30 s).
count=$(echo $DISKS | wc -w)
tries=0
while :; do
    missing=""
    for s in $DISKS; do
        node=$(disk_of "$s") && [ -b "$node" ] || missing="$missing $s"
    done
    sg=$(ls /sys/class/scsi_generic 2>/dev/null | wc -l)
    [ -z "$missing" ] && [ "$sg" -ge "$count" ] && break
    tries=$((tries + 1))
    [ $tries -ge 300 ] && break
    sleep 0.1
done
echo "=== VQ-GUEST disks ready $(cut -d' ' -f1 /proc/uptime) s"

# The SCSI generic node of the disk with serial $1.
sg_of() {
    node=$(disk_of "$1") || return 1
    echo "/dev/$(ls "/sys/block/${node#/dev/}/device/scsi_generic")"
}

# One line a disk: serial, block device, USB port path (the USB device's sysfs name), SCSI
# generic node.
list_disks() {
    for s in $DISKS; do
        node=$(disk_of "$s") || node=-
        usb=-
        sg=-
        if [ "$node" != - ]; then
            usb=$(basename "$(readlink -f "/sys/block/${node#/dev/}/device/../../../..")")
            sg=$(sg_of "$s") || sg=-
        fi
        echo "$s $node $usb $sg"
    done
}
section disks list_disks

section topology cli topology
section scan cli scan --json
section identify cli identify --json
for s in $DISKS; do
    sg=$(sg_of "$s") || sg=/dev/missing-$s
    # A standard INQUIRY through SG_IO, then a vendor block (read one byte of the bridge's
    # memory), which a disk that is no bridge refuses.
    section "inquiry-$s" cli raw --path "$sg" --cdb "12 00 00 00 24 00" --in 36
    section "vendor-$s" cli raw --path "$sg" --cdb "DF 10 00 00 01 00 00 00 00 00 00 FD" --in 1
done

# The first partition of disk $1 ("/dev/sda1"), once the kernel shows it.
partition_of() {
    part=$(ls -d "/sys/block/${1#/dev/}/${1#/dev/}"* 2>/dev/null | head -n 1)
    [ -n "$part" ] && echo "/dev/${part##*/}"
}

# The guest kernel's vfat driver mounts the volume the station's formatter wrote, read and
# write, at $2 (a mount the station may still hold is let go first).
kernel_mount() {
    dev=$(partition_of "$1") || { echo "no partition on $1"; return 1; }
    held=$(awk -v d="$dev" '$1 == d { print $2; exit }' /proc/mounts)
    [ -n "$held" ] && umount "$held"
    mkdir -p "$2"
    mount -t vfat "$dev" "$2" || return 1
    grep " $2 " /proc/mounts
}

# What the read/write test left in the volume's root (it deletes its file), then the unmount.
kernel_umount() {
    ls -A "$1"
    umount "$1"
}

for s in $PREPARE; do
    node=$(disk_of "$s") || node=/dev/missing-$s
    section "partition-$s" cli disk partition --path "$node" --json
    section "format-$s" cli disk format --path "$node" --fs FAT32 --label VQTEST --json
    section "volumes-$s" cli disk volumes --json
    dir=/mnt/vq-$s
    section "mount-$s" kernel_mount "$node" "$dir"
    section "rwtest-$s" cli rwtest --path "$dir" --settings /etc/rwtest.ini --pattern /etc/pattern.txt --json
    section "umount-$s" kernel_umount "$dir"
done
