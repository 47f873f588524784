# SPDX-License-Identifier: MIT
"""The Raspberry Pi's GPU firmware, played by the harness for the Debian system's boots:
before each boot it reads the card's FAT partition as the firmware does (config.txt and
cmdline.txt, with mtools: nothing is mounted), takes the kernel and the initramfs that
config.txt names and the Pi Zero's device tree from the same partition, and boots the
emulator with exactly those, and what standin.py lists for the board."""
import json
import os
import re
import shutil

from . import standin
from .host import Failure, mtools, run

DEVICE_TREE = "bcm2835-rpi-zero.dtb"
LABEL = re.compile(r"{(\w+)}")

def fat(sd: str) -> str:
    """The card's first partition, where the firmware looks, as mtools names it."""
    table = json.loads(run("sfdisk", "--json", sd))["partitiontable"]
    return "%s@@%d" % (sd, table["partitions"][0]["start"] * table.get("sectorsize", 512))


def read(sd: str, name: str) -> str:
    """A file of the card's FAT partition, as text."""
    return mtools("mtype", "-i", fat(sd), "::" + name).decode()


def put(sd: str, folder: str) -> None:
    """Copies a host folder onto the FAT partition's top, over what is there of the same names."""
    mtools("mcopy", "-s", "-o", "-i", fat(sd), folder, "::")


def boot_files(sd: str, work: str, board: str) -> tuple[str, str | None, str, str]:
    """The kernel, the initramfs and the device tree that config.txt names, copied out of
    the card into `work`, the tree made `board`, and the command line of cmdline.txt with
    what the emulator and `board` need."""
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
    words = [read(sd, "cmdline.txt").strip(), standin.KERNEL_NEEDS, *standin.BOARD_WORDS.get(board, [])]
    tree = device_tree(board, paths["dtb"], os.path.join(work, board + ".dtb"))
    return paths["kernel"], paths.get("initramfs"), tree, " ".join(words)


def device_tree(board: str, source: str, path: str) -> str:
    """`source`, the card's Pi Zero tree, as `board` (standin.BOARDS) at `path`."""
    shutil.copy(source, path)
    edits = standin.BOARDS[board]
    in_values = {label for edit in edits for value in edit[3:] for label in LABEL.findall(value)}
    labels = in_values | {label for edit in edits for label in LABEL.findall(edit[1])}
    paths = {label: run("fdtget", path, "/__symbols__", label).decode().strip() for label in labels}
    phandles = {label: run("fdtget", "-t", "u", path, paths[label], "phandle").decode().strip() for label in in_values}
    for kind, node, prop, *values in edits:
        run("fdtput", "-t", kind, path, node.format(**paths), prop, *(v.format(**phandles) for v in values))
    return path
