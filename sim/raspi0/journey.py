# SPDX-License-Identifier: MIT
"""The package's journey on the emulated board's Debian system, on one copy of the
system's SD image: install the package and enable its unit; reboot, then remove it;
reboot and purge it. Beside the second boot, a copy of the image taken after the
install boots as another board and upgrades the package there. Each boot is checked
from outside: the console, GPFSEL0/1 read through QEMU's monitor, and what the guest
reports (guest/journey.sh)."""
import os
import re
import shutil
import time
from concurrent.futures import ThreadPoolExecutor

import emulator
import provision
import soc
import system
from commands import Failure, run

GUEST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "guest")
# Debian's device tree hands GPIO 4, 5 and 7-11 to alternate function 0 with a pinctrl
# hog. The boards here keep 4 and 5 in it, so that 7-11 start as inputs and what the
# unit does to them shows.
HOG = "/soc/gpio@7e200000/alt0"
# A Raspberry Pi 2, where a 32-bit system runs the same static program: not a BCM2835.
OTHER_BOARD = ["raspberrypi,2-model-b", "brcm,bcm2836"]
# The boots in order, each as (steps, board, on a copy of the image). The boots of
# one row run side by side.
BOOTS = [[(["install"], "bcm2835", False)],
         [(["reboot", "remove"], "bcm2835", False), (["other-board", "upgrade"], "other", True)],
         [(["purge"], "bcm2835", False)]]
# The journey's steps talk on the serial console, so no getty may take it; the other
# gettys serve a screen this board has none of, and would only slow each boot.
CMDLINE = (emulator.CMDLINE + " iomem=relaxed systemd.wants=journey.service"
           " systemd.mask=serial-getty@ttyAMA0.service systemd.mask=getty@tty1.service"
           " systemd.mask=getty-static.service journey.steps=")
BOOT_TIMEOUT = 300


def device_trees(cache, work):
    """The Pi Zero's device tree with GPIO 7-11 left as inputs, and the same as another board."""
    trees = {"bcm2835": os.path.join(work, "bcm2835.dtb"), "other": os.path.join(work, "other.dtb")}
    shutil.copy(os.path.join(cache, "board.dtb"), trees["bcm2835"])
    run("fdtput", "-t", "u", trees["bcm2835"], HOG, "brcm,pins", "4", "5")
    shutil.copy(trees["bcm2835"], trees["other"])
    run("fdtput", "-t", "s", trees["other"], "/", "compatible", *OTHER_BOARD)
    return trees


def registers(monitor):
    """GPFSEL0 and GPFSEL1 as the bus has them, read from outside the guest."""
    reply = monitor.command("xp /2wx %#x" % soc.reg_address(soc.gpfsel0))
    words = re.findall(r"0x[0-9a-f]{8}\b", reply.split(":", 1)[-1])
    if len(words) != 2:
        raise Failure("QEMU's monitor did not give two registers: %r" % reply)
    return words


def boot_steps(cache, work, sd, tree, steps, deb):
    """Boots the system once for `steps`; gives the facts of that boot."""
    modules = provision.ext4_modules(cache)
    files = {"init": os.path.join(GUEST, "sdinit.sh"),
             "etc/modules": "".join(os.path.basename(m)[:-len(".ko")] + "\n" for m in modules).encode(),
             "journey/journey.sh": os.path.join(GUEST, "journey.sh"),
             "journey/journey.service": os.path.join(GUEST, "journey.service"),
             "journey/" + os.path.basename(deb): deb}
    files.update(("lib/modules/" + os.path.basename(m), m) for m in modules)
    folder = os.path.join(work, steps[0])
    os.makedirs(folder)
    initrd = emulator.initramfs(cache, folder, files)
    facts = []

    def on_line(line, monitor, answer):
        if line.startswith("@@READY "):
            _, step, label = line.split()
            facts.append("%s regs %s %s %s" % (step, label, *registers(monitor)))
            answer()
        elif line.startswith("@@RESULT "):
            facts.append(line[len("@@RESULT "):])

    started = time.monotonic()
    emulator.boot(cache, folder, initrd, CMDLINE + ",".join(steps), ["-drive", "file=%s,if=sd,format=raw" % sd],
                  on_line, dtb=tree, powers_off=True, timeout=BOOT_TIMEOUT)
    facts.append("%s seconds %.1f" % (steps[0], time.monotonic() - started))
    return facts


def journey(cache, nostatx, deb, results_path, work):
    """Takes the package through every step and writes RESULTS, a line per fact:
        STEP regs LABEL GPFSEL0 GPFSEL1   read through the monitor where the guest said @@READY STEP LABEL
        STEP KEY [VALUE...]               what the guest reported (guest/journey.sh); the value may be empty
        STEP seconds N                    the time on this machine of the boot that began with STEP,
                                          power-off included"""
    provision.ext4_modules(cache)
    image = system.image(cache, nostatx)
    sd = os.path.join(work, "sd.img")
    run("cp", "--sparse=always", image, sd)
    trees = device_trees(cache, work)

    facts = []
    for row in BOOTS:
        # Copies are taken before any boot of the row writes to the image.
        disks = []
        for steps, _, copy in row:
            disks.append(os.path.join(work, steps[0] + ".img") if copy else sd)
            if copy:
                run("cp", "--sparse=always", sd, disks[-1])
        with ThreadPoolExecutor(len(row)) as pool:
            boots = [pool.submit(boot_steps, cache, work, disk, trees[board], steps, deb)
                     for (steps, board, _), disk in zip(row, disks)]
            for done in boots:
                facts += done.result()
    with open(results_path, "w") as out:
        out.write("".join(fact + "\n" for fact in facts))
