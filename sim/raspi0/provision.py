# SPDX-License-Identifier: MIT
"""What the emulated board needs from Debian, fetched and made once per cache folder:
the Raspberry Pi kernel and the Pi Zero's device tree, busybox, a copy of
qemu-system-arm with the BCM2835's cache type, and, for booting from an SD card, the
kernel's modules for ext4."""
import glob
import os
import re
import shutil
import time

from commands import Failure, run

# ARM1176's FPSID then cache type in qemu-system-arm: QEMU 7.2 reports a 64 KiB data
# cache that needs page colouring, so the guest kernel refuses the tool's MAP_FIXED
# mappings. The BCM2835's real core has 16 KiB caches.
CACHE_TYPE_QEMU = bytes.fromhex("b5200141d220dd01")
CACHE_TYPE_BCM2835 = bytes.fromhex("5221151d")
# ext4 and what it needs, in the order they load; the kernel has the SD card's driver built in.
EXT4_MODULES = ["crypto/crc32c_generic", "lib/crc16", "fs/mbcache", "fs/jbd2/jbd2", "fs/ext4/ext4"]


def download(packages, into):
    """apt-get download, tried three times: a mirror's hiccup should not fail the tests."""
    os.makedirs(into, exist_ok=True)
    for attempt in range(3):
        try:
            run("apt-get", "download", *packages, cwd=into)
            return
        except Failure:
            if attempt == 2:
                raise
            time.sleep(5)


def patched_emulator(path):
    """A copy of qemu-system-arm whose ARM1176 reports the BCM2835's caches."""
    found = shutil.which("qemu-system-arm")
    if found is None:
        raise Failure("qemu-system-arm is not installed (tools/deps test installs it)")
    emulator = bytearray(open(found, "rb").read())
    if emulator.count(CACHE_TYPE_QEMU) != 1:
        raise Failure("%s does not hold the ARM1176 cache type exactly once; cannot set the BCM2835's" % found)
    at = emulator.find(CACHE_TYPE_QEMU) + 4
    emulator[at:at + 4] = CACHE_TYPE_BCM2835
    with open(path, "wb") as f:
        f.write(emulator)
    os.chmod(path, 0o755)


def prepare(cache):
    """zImage, board.dtb, busybox and qemu-system-arm in `cache`, once."""
    ready = os.path.join(cache, "ready")
    if os.path.exists(ready):
        return
    os.makedirs(cache, exist_ok=True)
    depends = run("apt-cache", "depends", "linux-image-rpi:armel").decode()
    found = re.search(r"Depends: (linux-image-\S+-rpi):armel", depends)
    if found is None:
        raise Failure("no armel Raspberry Pi kernel in apt's lists (tools/deps test enables armel)")
    kernel_pkg = found.group(1)
    debs = os.path.join(cache, "debs")
    shutil.rmtree(debs, ignore_errors=True)
    download([kernel_pkg + ":armel", "busybox-static:armel"], debs)
    root = os.path.join(cache, "root")
    shutil.rmtree(root, ignore_errors=True)
    for deb in sorted(os.listdir(debs)):
        run("dpkg-deb", "-x", os.path.join(debs, deb), root)
    version = kernel_pkg[len("linux-image-"):]
    shutil.copy(os.path.join(root, "boot", "vmlinuz-" + version), os.path.join(cache, "zImage"))
    shutil.copy(os.path.join(root, "usr/lib/linux-image-" + version, "bcm2835-rpi-zero.dtb"),
                os.path.join(cache, "board.dtb"))
    shutil.copy(os.path.join(root, "bin/busybox"), os.path.join(cache, "busybox"))
    patched_emulator(os.path.join(cache, "qemu-system-arm"))
    shutil.rmtree(root)
    with open(ready, "w") as f:
        f.write(kernel_pkg + "\n")


def ext4_modules(cache):
    """The kernel's ext4 modules in `cache`, in load order, taken from its package once."""
    prepare(cache)
    paths = [os.path.join(cache, "modules", os.path.basename(m) + ".ko") for m in EXT4_MODULES]
    if all(map(os.path.exists, paths)):
        return paths
    kernel_pkg = open(os.path.join(cache, "ready")).read().strip()
    debs = glob.glob(os.path.join(cache, "debs", kernel_pkg + "_*.deb"))
    if len(debs) != 1:
        raise Failure("the kernel package %s is not in %s/debs" % (kernel_pkg, cache))
    root = os.path.join(cache, "kernel")
    shutil.rmtree(root, ignore_errors=True)
    run("dpkg-deb", "-x", debs[0], root)
    version = kernel_pkg[len("linux-image-"):]
    os.makedirs(os.path.join(cache, "modules"), exist_ok=True)
    for module, path in zip(EXT4_MODULES, paths):
        shutil.copy(os.path.join(root, "lib/modules", version, "kernel", module + ".ko"), path)
    shutil.rmtree(root)
    return paths
