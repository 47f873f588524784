# SPDX-License-Identifier: MIT
"""The Raspberry Pi's GPU firmware, played by the harness for the Debian system's boots:
before each boot it reads the card's FAT partition as the firmware does (config.txt and
cmdline.txt, with mtools: nothing is mounted), takes the kernel and the initramfs that
config.txt names and the Pi Zero's device tree from the same partition, and boots the
emulator with exactly those. What it adds to the kernel's command line, and the boards it
makes of that device tree, are all listed here, each with why."""
import json
import os
import shutil

from .host import Failure, mtools, run
from .machine import KERNEL_NEEDS

DEVICE_TREE = "bcm2835-rpi-zero.dtb"

# What the harness adds to the command line that cmdline.txt gives. Nothing here changes
# what the kernel allows the system to do; iomem= is never one of them.
ADDED = [
    # What QEMU's raspi0 needs of every kernel (machine.py): a real board's firmware
    # answers the power driver, the emulator does not.
    KERNEL_NEEDS,
    # Neither the kernel's messages nor systemd's status lines may split a line that the
    # guest reports on the serial line.
    "quiet", "systemd.show_status=false",
    # The lifecycle's steps talk on the serial line, so no getty may take it; the gettys of
    # a screen, which this board has none of, would only slow each boot.
    "systemd.mask=serial-getty@ttyAMA0.service", "systemd.mask=getty@tty1.service",
    "systemd.mask=getty-static.service",
    # The harness's driver in the image (inert without this), and the steps it is to take.
    "systemd.wants=lifecycle.service",
]
STEPS = "lifecycle.steps="


def fat(sd):
    """The card's first partition, where the firmware looks, as mtools names it."""
    table = json.loads(run("sfdisk", "--json", sd))["partitiontable"]
    return "%s@@%d" % (sd, table["partitions"][0]["start"] * table.get("sectorsize", 512))


def read(sd, name):
    """A file of the card's FAT partition, as text."""
    return mtools("mtype", "-i", fat(sd), "::" + name).decode()


def put(sd, folder):
    """Copies a host folder onto the FAT partition's top, over what is there of the same names."""
    mtools("mcopy", "-s", "-o", "-i", fat(sd), folder, "::")


def boot_files(sd, work):
    """The kernel, the initramfs and the device tree that config.txt names, copied out of
    the card into `work`, and the command line of cmdline.txt."""
    config = {}
    for line in read(sd, "config.txt").splitlines():
        line = line.split("#", 1)[0].strip()
        if line.startswith("kernel="):
            config["kernel"] = line[len("kernel="):]
        elif line.startswith("initramfs "):
            config["initramfs"] = line.split()[1]
    if "kernel" not in config:
        raise Failure("the card's config.txt names no kernel:\n%s" % read(sd, "config.txt"))
    config["dtb"] = DEVICE_TREE
    paths = {}
    for what, name in config.items():
        paths[what] = os.path.join(work, name)
        mtools("mcopy", "-n", "-i", fat(sd), "::" + name, paths[what])
    return paths["kernel"], paths.get("initramfs"), paths["dtb"], read(sd, "cmdline.txt").strip()


# The boards the Debian system boots as, each an edit of a copy of the card's device tree:
# fdtput's type, node, property and values. Debian's tree puts GPIO 4, 5 and 7-11 in
# alternate function 0 at boot with a pin-control hog; every board here cuts it to 4 and 5,
# so that 7-11 start as inputs, as Raspberry Pi OS's tree leaves them, and what the unit
# does to them shows.
BOARDS = {
    # The Pi Zero.
    "pi-zero": [],
    # A Raspberry Pi 2, where a 32-bit system runs the same static program: not a BCM2835.
    "pi-2": [("s", "/", "compatible", "raspberrypi,2-model-b", "brcm,bcm2836")],
    # The Pi Zero with SPI0 given to the kernel's driver, as Raspberry Pi OS's dtparam=spi=on
    # does: the driver takes 7-11 to alternate function 0 and makes 7 and 8 its chip selects,
    # outputs of the GPIO driver (cs-gpios, active low).
    "spi0-kernel": [("s", "{spi0}", "status", "okay"),
                    ("s", "{spi0}", "pinctrl-names", "default"),
                    ("u", "{spi0}", "pinctrl-0", "{spi0_pins}"),
                    ("u", "{spi0}", "cs-gpios", "{gpio}", "8", "1", "{gpio}", "7", "1")],
}


def device_tree(soc, board, source, path):
    """`source`, the card's Pi Zero tree, as `board` at `path`."""
    shutil.copy(source, path)
    run("fdtput", "-t", "u", path, soc.dt_gpio_alt0_hog, "brcm,pins", "4", "5")
    names = {"spi0": soc.dt_spi0,
             "gpio": run("fdtget", "-t", "u", path, soc.dt_gpio, "phandle").decode().strip(),
             "spi0_pins": run("fdtget", "-t", "u", path, soc.dt_spi0_pins, "phandle").decode().strip()}
    for kind, node, prop, *values in BOARDS[board]:
        run("fdtput", "-t", kind, path, node.format(**names), prop, *(v.format(**names) for v in values))
    return path
