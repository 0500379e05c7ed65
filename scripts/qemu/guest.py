#!/usr/bin/env python3
"""A small Linux guest for QEMU: a Debian kernel and a busybox initramfs that runs one script.

Used as a module (the VM tests import it) or from the command line:

  guest.py kernel [--cache DIR]
      fetches the kernel package that linux-image-amd64 depends on (once; the .deb and its
      unpacked tree stay in the cache) and prints the kernel image and the release
  guest.py build --out INITRD --script FILE [--binary SRC[:DST]]... [--file SRC:DST]...
                 [--module NAME]... [--cache DIR]
      writes a gzip'd newc initramfs: busybox, the modules named (with what they depend on,
      loaded in dependency order), each --binary with the shared libraries ldd lists, each
      --file, and FILE as /test.sh, which /init runs before it powers the guest off
  guest.py run --initrd INITRD [--timeout S] [--log FILE] [--cache DIR] [-- QEMU ARGS...]
      boots the guest under TCG with the serial console on stdout (and in FILE); the extra
      arguments (-device, -drive, -chardev, ...) attach what the test needs

Results come back over the serial console: the test script prints them between markers
(see section() in the generated /init) and the host side reads them with sections().
"""

import argparse
import functools
import gzip
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
DEFAULT_CACHE = REPO / "build" / "qemu" / "kernel"
BUSYBOX = Path("/bin/busybox")

# What a guest with USB disks needs: the xHCI controller, hubs (in usbcore), bulk-only and
# UAS storage, SCSI disks and generic nodes, and FAT with the code pages it mounts with.
STORAGE_MODULES = ["xhci-pci", "usb-storage", "uas", "sd_mod", "sg", "vfat", "nls_cp437", "nls_ascii",
                   "nls_iso8859-1", "nls_utf8"]

BEGIN = "=== VQ-BEGIN "
STDERR = "=== VQ-STDERR "
END = "=== VQ-END "


def log(msg):
    print(f"guest: {msg}", file=sys.stderr, flush=True)


# --- the kernel ------------------------------------------------------------------------------


def _run(argv, **kw):
    return subprocess.run(argv, check=True, text=True, capture_output=True, **kw).stdout


def _kernel_package():
    """The package linux-image-amd64 depends on, or None when apt knows nothing of it."""
    try:
        out = _run(["apt-cache", "depends", "linux-image-amd64"])
    except subprocess.CalledProcessError:
        return None
    m = re.search(r"Depends:\s*(linux-image-[0-9][^\s]*-amd64)\b", out)
    return m.group(1) if m else None


def _apt_update():
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    log("apt-get update")
    subprocess.run(sudo + ["apt-get", "update", "-qq"], check=True, stdout=subprocess.DEVNULL)


def _download(cache, pkg):
    """apt-get download of pkg into cache; the .deb, or None when apt could not fetch it."""
    log(f"downloading {pkg}")
    with tempfile.TemporaryDirectory(dir=cache) as tmp:
        # apt-get download works in the current folder; as root it warns that the sandbox
        # user cannot write there, which is harmless.
        r = subprocess.run(["apt-get", "download", "-q", pkg], cwd=tmp, text=True,
                           capture_output=True)
        got = list(Path(tmp).glob("*.deb"))
        if r.returncode != 0 or len(got) != 1:
            log(r.stderr.strip())
            return None
        deb = cache / got[0].name
        shutil.move(got[0], deb)
        return deb


@functools.lru_cache(maxsize=None)
def kernel(cache=DEFAULT_CACHE):
    """Returns (vmlinuz, modules folder, release), downloading and unpacking only once."""
    cache = Path(cache)
    cache.mkdir(parents=True, exist_ok=True)
    pkg = _kernel_package()
    debs = sorted(cache.glob("linux-image-*.deb"))
    deb = next((d for d in debs if pkg and d.name.startswith(pkg + "_")), None)
    if deb is None and pkg is None and debs:
        deb = debs[-1]  # apt's lists are gone (a fresh container); the cached kernel will do
    if deb is None:
        if pkg is None:
            _apt_update()
            pkg = _kernel_package()
            if pkg is None:
                raise SystemExit("guest: apt knows no linux-image-amd64 package")
        deb = _download(cache, pkg)
        if deb is None:
            _apt_update()  # the lists may name a package the archive no longer has
            pkg = _kernel_package()
            deb = _download(cache, pkg) if pkg else None
            if deb is None:
                raise SystemExit(f"guest: apt-get download {pkg} failed")
        # One kernel is kept: an older one and its unpacked tree go.
        for old in cache.glob("linux-image-*"):
            if old != deb and not old.name.startswith(deb.name.removesuffix(".deb")):
                shutil.rmtree(old) if old.is_dir() else old.unlink()

    root = cache / deb.name.removesuffix(".deb")
    stamp = root / ".unpacked"
    if not stamp.exists():
        log(f"unpacking {deb.name}")
        shutil.rmtree(root, ignore_errors=True)
        subprocess.run(["dpkg-deb", "-x", str(deb), str(root)], check=True)
        releases = [p.name for p in (root / "lib" / "modules").iterdir()]
        if len(releases) != 1:
            raise SystemExit(f"guest: {deb.name} holds modules of {releases}")
        # The package leaves modules.dep to its install script; depmod writes it here.
        depmod = shutil.which("depmod") or "/usr/sbin/depmod"  # sbin may be off a user's PATH
        subprocess.run([depmod, "-b", str(root), releases[0]], check=True)
        stamp.write_text(releases[0] + "\n")
    release = stamp.read_text().strip()
    vmlinuz = root / "boot" / f"vmlinuz-{release}"
    return vmlinuz, root / "lib" / "modules" / release, release


def module_order(moddir, names):
    """The module files for names with everything they depend on, each after its dependencies."""
    deps, by_name = {}, {}
    for line in (Path(moddir) / "modules.dep").read_text().splitlines():
        path, _, rest = line.partition(":")
        deps[path] = rest.split()
        base = Path(path).name.split(".ko")[0]
        by_name[base] = path
        by_name[base.replace("-", "_")] = path
    order, seen = [], set()

    def visit(path):
        if path in seen:
            return
        seen.add(path)
        for d in deps[path]:
            visit(d)
        order.append(path)

    for n in names:
        path = by_name.get(n) or by_name.get(n.replace("-", "_"))
        if path is None:
            raise SystemExit(f"guest: no module {n} in {moddir} (built into the kernel?)")
        visit(path)
    return order


# --- the initramfs ---------------------------------------------------------------------------


# Every entry's modification time: a fixed one keeps the archive reproducible, and it lies
# after 1980, the first day a FAT volume can hold, so copies to FAT keep their times.
MTIME = 1704067200  # 2024-01-01 00:00:00 UTC


class Cpio:
    """A newc archive written directly, so device nodes and owners need no root."""

    def __init__(self):
        self.data = bytearray()
        self.ino = 1
        self.names = set()

    def _entry(self, name, mode, body=b"", rdev=(0, 0)):
        name = name.lstrip("/")
        if name in self.names:
            return
        self.names.add(name)
        fields = [self.ino, mode, 0, 0, 1, MTIME, len(body), 0, 0, rdev[0], rdev[1],
                  len(name) + 1, 0]
        self.ino += 1
        self.data += b"070701" + b"".join(b"%08X" % f for f in fields)
        self.data += name.encode() + b"\0"
        self.data += b"\0" * (-len(self.data) % 4)
        self.data += body
        self.data += b"\0" * (-len(self.data) % 4)

    def dir(self, name):
        parts = Path(name.lstrip("/")).parts
        for i in range(1, len(parts) + 1):
            self._entry("/".join(parts[:i]), stat.S_IFDIR | 0o755)

    def file(self, name, body, mode=0o644):
        self.dir(str(Path(name).parent))
        self._entry(name, stat.S_IFREG | mode, body)

    def symlink(self, name, target):
        self.dir(str(Path(name).parent))
        self._entry(name, stat.S_IFLNK | 0o777, target.encode())

    def chardev(self, name, major, minor):
        self.dir(str(Path(name).parent))
        self._entry(name, stat.S_IFCHR | 0o600, rdev=(major, minor))

    def finish(self):
        self._entry("TRAILER!!!", 0)
        return bytes(self.data)


def shared_libraries(binary):
    """The files ldd names for binary, the dynamic loader included."""
    out = _run(["ldd", str(binary)])
    libs = []
    for line in out.splitlines():
        m = re.search(r"(/\S+)\s+\(0x", line)
        if m:
            libs.append(m.group(1))
    return libs


INIT = """#!/bin/sh
# Generated by scripts/qemu/guest.py: mounts, modules, the test script, power off.
/bin/busybox mkdir -p /proc /sys /dev /tmp /run
/bin/busybox mount -t devtmpfs devtmpfs /dev
exec </dev/console >/dev/console 2>&1
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
echo "=== VQ-GUEST up $(cut -d' ' -f1 /proc/uptime) s"
while read -r m; do
    insmod "$m" || echo "=== VQ-GUEST insmod $m failed"
done </etc/modules.load
echo "=== VQ-GUEST modules loaded $(cut -d' ' -f1 /proc/uptime) s"
# Only emergencies on the console from here on, so the results come through unmixed.
dmesg -n 1

# section NAME COMMAND...: runs the command, prints its standard output and its errors
# between markers, with its exit code and the time it ended.
section() {
    name=$1
    shift
    "$@" >/tmp/section.out 2>/tmp/section.err
    rc=$?
    echo "=== VQ-BEGIN $name"
    cat /tmp/section.out
    echo "=== VQ-STDERR $name"
    cat /tmp/section.err
    echo "=== VQ-END $name rc=$rc at $(cut -d' ' -f1 /proc/uptime) s"
    return $rc
}

. /test.sh
echo "=== VQ-BEGIN dmesg"
dmesg
echo "=== VQ-STDERR dmesg"
echo "=== VQ-END dmesg rc=0"
echo "=== VQ-GUEST done $(cut -d' ' -f1 /proc/uptime) s"
sync
poweroff -f
"""


def build(out, script, binaries=(), files=(), modules=STORAGE_MODULES, cache=DEFAULT_CACHE):
    """Writes the initramfs to out.

    binaries: (source, path in the guest) of programs whose shared libraries come along
    (stripped of debug information); files: (source, path in the guest) copied as they are;
    script: the shell script /init sources before it powers off (it may call section()).
    """
    _, moddir, _ = kernel(cache)
    a = Cpio()
    for d in ("dev", "proc", "sys", "tmp", "run", "bin", "sbin", "etc", "lib", "mnt", "root"):
        a.dir(d)
    a.chardev("dev/console", 5, 1)
    a.chardev("dev/null", 1, 3)
    a.file("bin/busybox", BUSYBOX.read_bytes(), 0o755)
    a.symlink("bin/sh", "busybox")
    a.file("init", INIT.encode(), 0o755)
    a.file("test.sh", Path(script).read_bytes(), 0o755)

    order = module_order(moddir, modules)
    for rel in order:
        a.file(f"lib/modules/{rel}", (moddir / rel).read_bytes())
    a.file("etc/modules.load", "".join(f"/lib/modules/{rel}\n" for rel in order).encode())

    with tempfile.TemporaryDirectory() as tmp:
        for src, dst in binaries:
            stripped = Path(tmp) / Path(src).name
            subprocess.run(["objcopy", "--strip-debug", str(src), str(stripped)], check=True)
            a.file(dst, stripped.read_bytes(), 0o755)
            for lib in shared_libraries(src):
                real = Path(lib).resolve()
                a.file(lib, real.read_bytes(), 0o755)
    for src, dst in files:
        mode = 0o755 if os.access(src, os.X_OK) else 0o644
        a.file(dst, Path(src).read_bytes(), mode)

    out = Path(out)
    out.parent.mkdir(parents=True, exist_ok=True)
    tmp_out = out.with_suffix(".tmp")
    with gzip.open(tmp_out, "wb", compresslevel=1) as f:
        f.write(a.finish())
    tmp_out.replace(out)
    return out


# --- running it ------------------------------------------------------------------------------


def run(initrd, qemu_args=(), timeout=120, log_path=None, cache=DEFAULT_CACHE, memory="512M",
        echo=False, append=""):
    """Boots the guest; returns (exit code or None on time-out, console text, seconds).

    qemu_args: what the test attaches (-device, -drive, -chardev, ...); append: more kernel
    parameters; echo: the console also goes to stderr as it comes."""
    vmlinuz, _, _ = kernel(cache)
    argv = ["qemu-system-x86_64", "-accel", "tcg", "-smp", "1", "-m", memory, "-nographic",
            "-no-reboot", "-kernel", str(vmlinuz), "-initrd", str(initrd),
            "-append", f"console=ttyS0 panic=-1 loglevel=4 rdinit=/init {append}".strip()]
    argv += list(qemu_args)
    start = time.monotonic()
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    console = bytearray()
    logf = open(log_path, "wb") if log_path else None
    timed_out = False
    try:
        os.set_blocking(proc.stdout.fileno(), False)
        while True:
            if time.monotonic() - start > timeout:
                timed_out = True
                break
            chunk = proc.stdout.read(65536)
            if chunk:
                console += chunk
                if logf:
                    logf.write(chunk)
                    logf.flush()
                if echo:
                    sys.stderr.buffer.write(chunk)
                    sys.stderr.flush()
            elif chunk is None or chunk == b"":
                if proc.poll() is not None and chunk == b"":
                    break
                time.sleep(0.05)
    finally:
        if logf:
            logf.close()
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    elapsed = time.monotonic() - start
    text = console.decode("utf-8", "replace").replace("\r\n", "\n").replace("\r", "")
    return (None if timed_out else proc.returncode), text, elapsed


def sections(console):
    """The sections the guest printed: {name: (stdout, stderr, exit code)}."""
    found = {}
    name, out, err, cur = None, [], [], None
    for line in console.splitlines():
        if line.startswith(BEGIN):
            name, out, err = line[len(BEGIN):].strip(), [], []
            cur = out
        elif name and line.startswith(STDERR + name):
            cur = err
        elif name and line.startswith(END + name):
            m = re.search(r"rc=(\d+)", line)
            found[name] = ("\n".join(out), "\n".join(err), int(m.group(1)) if m else None)
            name, cur = None, None
        elif cur is not None:
            cur.append(line)
    return found


# --- command line ----------------------------------------------------------------------------


def _pair(text):
    src, sep, dst = text.partition(":")
    return Path(src), (dst if sep else "/bin/" + Path(src).name)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--cache", type=Path, default=DEFAULT_CACHE, help="kernel cache folder")
    sub = ap.add_subparsers(dest="cmd", required=True)
    sub.add_parser("kernel")
    b = sub.add_parser("build")
    b.add_argument("--out", type=Path, required=True)
    b.add_argument("--script", type=Path, required=True)
    b.add_argument("--binary", type=_pair, action="append", default=[])
    b.add_argument("--file", type=_pair, action="append", default=[])
    b.add_argument("--module", action="append", default=None)
    r = sub.add_parser("run")
    r.add_argument("--initrd", type=Path, required=True)
    r.add_argument("--timeout", type=float, default=120)
    r.add_argument("--log", type=Path)
    r.add_argument("qemu_args", nargs=argparse.REMAINDER)
    args = ap.parse_args(argv)

    if args.cmd == "kernel":
        vmlinuz, moddir, release = kernel(args.cache)
        print(vmlinuz)
        print(release)
    elif args.cmd == "build":
        print(build(args.out, args.script, args.binary, args.file,
                    args.module or STORAGE_MODULES, args.cache))
    else:
        extra = args.qemu_args[1:] if args.qemu_args[:1] == ["--"] else args.qemu_args
        rc, _, elapsed = run(args.initrd, extra, args.timeout, args.log, args.cache, echo=True)
        log(f"{'timed out' if rc is None else f'QEMU exited with {rc}'} after {elapsed:.1f} s")
        return 1 if rc is None else rc
    return 0


if __name__ == "__main__":
    sys.exit(main())
