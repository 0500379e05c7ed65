# Runs inside the guest (sourced by its /init, which provides section()): vqmp-cli on the
# Linux host platform against the emulated bridges vq-usbredir serves on the machine's USB
# bus. /etc/vq/count holds how many bridges to wait for. Every result goes to the console
# between markers; the host side judges them.
export HOME=/root
mkdir -p /tmp/station
cli() {
    vqmp-cli --home /tmp/station "$@"
}

# No udev here: poll sysfs until every bridge's SCSI generic node is there (60 s).
want=$(cat /etc/vq/count)
tries=0
while [ "$(ls /sys/class/scsi_generic 2>/dev/null | wc -l)" -lt "$want" ]; do
    tries=$((tries + 1))
    [ $tries -ge 600 ] && break
    sleep 0.1
done
echo "=== VQ-GUEST bridges ready $(cut -d' ' -f1 /proc/uptime) s"

section topology cli topology
section scan cli scan --json
section identify cli identify --json
echo "=== VQ-GUEST run starts $(cut -d' ' -f1 /proc/uptime) s"
# The station's fixed waits (a second per disk compared while re-finding a board, under the
# port lock) are made for a bench; the emulated boards come back in 1.5 s, so the run sits
# out a twentieth of each wait. Measured rates stay real.
section run cli --time-scale 0.05 run --settings /etc/vq/station16.ini --json --yes
echo "=== VQ-GUEST run done $(cut -d' ' -f1 /proc/uptime) s"
section scan-after cli scan --json
