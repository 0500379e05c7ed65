#!/usr/bin/env python3
"""Writes tests/linux/sysfs: a small sysfs tree as the kernel shows a machine with an
xHCI controller, a USB 2 root hub with a 4-port hub on port 1 (a bulk-only disk on its
port 2, a bulk-only optical drive on its port 3), a USB 3 root hub with a UAS disk at
10 Gbit/s on port 1, and a SATA disk that is no USB device. Run it from the repository
root after changing it, and commit the tree."""
import os, shutil, struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sysfs")
PCI = "devices/pci0000:00"
XHCI = PCI + "/0000:00:14.0"


def put(path, text):
    full = os.path.join(ROOT, path)
    os.makedirs(os.path.dirname(full), exist_ok=True)
    mode = "wb" if isinstance(text, bytes) else "w"
    with open(full, mode) as f:
        f.write(text)


def link(path, target):
    full = os.path.join(ROOT, path)
    os.makedirs(os.path.dirname(full), exist_ok=True)
    os.symlink(os.path.relpath(os.path.join(ROOT, target), os.path.dirname(full)), full)


def usb_device(path, *, cls, vid, pid, bcd_usb, bcd_dev, speed, devnum, busnum, strings,
               maxchild=None):
    name = os.path.basename(path)
    indexes = [i + 1 if s else 0 for i, s in enumerate(strings)]
    desc = struct.pack("<BBHBBBBHHHBBBB", 18, 1, bcd_usb, cls, 0, 0, 64 if bcd_usb < 0x300 else 9,
                       vid, pid, bcd_dev, *indexes, 1)
    desc += bytes([9, 2, 32, 0, 1, 1, 0, 0x80, 50])  # the configuration follows
    put(path + "/descriptors", desc)
    put(path + "/bDeviceClass", "%02x\n" % cls)
    put(path + "/idVendor", "%04x\n" % vid)
    put(path + "/idProduct", "%04x\n" % pid)
    put(path + "/bcdDevice", "%04x\n" % bcd_dev)
    put(path + "/version", " %x.%02x\n" % (bcd_usb >> 8, bcd_usb & 0xFF))
    put(path + "/speed", "%s\n" % speed)
    put(path + "/devnum", "%d\n" % devnum)
    put(path + "/busnum", "%d\n" % busnum)
    put(path + "/bConfigurationValue", "1\n")
    for file, text in zip(("manufacturer", "product", "serial"), strings):
        if text:
            put(path + "/" + file, text + "\n")
    if maxchild is not None:
        put(path + "/maxchild", "%d\n" % maxchild)
    link("bus/usb/devices/" + name, path)


def usb_interface(path, driver, endpoints):
    for ep in endpoints:
        put(path + "/ep_%02x/bEndpointAddress" % ep, "%02x\n" % ep)
    link(path + "/driver", "bus/usb/drivers/" + driver)
    link("bus/usb/devices/" + os.path.basename(path), path)


def scsi_disk(host_path, hctl, type_, block, dev, sg=None, sgdev=None):
    h, c, t, l = hctl
    sdev = "%s/target%d:%d:%d/%d:%d:%d:%d" % (host_path, h, c, t, h, c, t, l)
    put(sdev + "/type", "%d\n" % type_)
    link(sdev + "/driver", "bus/scsi/drivers/" + ("sr" if type_ == 5 else "sd"))
    put(sdev + "/block/%s/dev" % block, dev + "\n")
    link(sdev + "/block/%s/device" % block, sdev)
    link("class/block/" + block, sdev + "/block/" + block)
    if sg:
        put(sdev + "/scsi_generic/%s/dev" % sg, sgdev + "\n")
    return sdev


shutil.rmtree(ROOT, ignore_errors=True)
link(XHCI + "/driver", "bus/pci/drivers/xhci_hcd")
usb_device(XHCI + "/usb1", cls=9, vid=0x1d6b, pid=0x0002, bcd_usb=0x0200, bcd_dev=0x0608,
           speed="480", devnum=1, busnum=1, strings=("Linux xhci-hcd", "xHCI Host Controller",
                                                       "0000:00:14.0"), maxchild=4)
usb_device(XHCI + "/usb1/1-1", cls=9, vid=0x05e3, pid=0x0610, bcd_usb=0x0210, bcd_dev=0x9226,
           speed="480", devnum=2, busnum=1, strings=("", "USB2.1 Hub", ""), maxchild=4)
disk = XHCI + "/usb1/1-1/1-1.2"
usb_device(disk, cls=0, vid=0x13fe, pid=0x5742, bcd_usb=0x0200, bcd_dev=0x0100, speed="480",
           devnum=3, busnum=1, strings=("VQ", "USB Mass Storage", "000000000001"))
usb_interface(disk + "/1-1.2:1.0", "usb-storage", (0x81, 0x02))
scsi_disk(disk + "/1-1.2:1.0/host2", (2, 0, 0, 0), 0, "sdb", "8:16", "sg1", "21:1")
cd = XHCI + "/usb1/1-1/1-1.3"
usb_device(cd, cls=0, vid=0x13fe, pid=0x5743, bcd_usb=0x0200, bcd_dev=0x0100, speed="12",
           devnum=4, busnum=1, strings=("VQ", "USB Optical", "CD0001"))
usb_interface(cd + "/1-1.3:1.0", "usb-storage", (0x81, 0x02))
scsi_disk(cd + "/1-1.3:1.0/host3", (3, 0, 0, 0), 5, "sr0", "11:0", "sg2", "21:2")

usb_device(XHCI + "/usb2", cls=9, vid=0x1d6b, pid=0x0003, bcd_usb=0x0310, bcd_dev=0x0608,
           speed="10000", devnum=1, busnum=2, strings=("Linux xhci-hcd", "xHCI Host Controller",
                                                         "0000:00:14.0"), maxchild=2)
uas = XHCI + "/usb2/2-1"
usb_device(uas, cls=0, vid=0x13fe, pid=0x5744, bcd_usb=0x0320, bcd_dev=0x0200, speed="10000",
           devnum=2, busnum=2, strings=("VQ", "Disk \u00fc\u2603", "UAS0001"))
usb_interface(uas + "/2-1:1.0", "uas", (0x81, 0x02, 0x83, 0x04))
scsi_disk(uas + "/2-1:1.0/host4", (4, 0, 0, 0), 0, "sdc", "8:32")  # no sg module loaded

sata = PCI + "/0000:00:17.0"
link(sata + "/driver", "bus/pci/drivers/ahci")
sdev = scsi_disk(sata + "/ata1/host0", (0, 0, 0, 0), 0, "sda", "8:0", "sg0", "21:0")
put(sdev + "/block/sda/sda1/partition", "1\n")
put(sdev + "/block/sda/sda1/dev", "8:1\n")
link("class/block/sda1", sdev + "/block/sda/sda1")
