# SPDX-License-Identifier: MIT
"""The package's lifecycle on the emulated board's Debian system, on one copy of the
system's SD image: install the package and enable its unit; reboot, then remove it;
reboot and purge it. Beside the second boot, a copy of the image taken after the
install boots as another board and upgrades the package there. Each boot is checked
from outside: the console, GPFSEL0/1 read through QEMU's monitor, and what the guest
reports (guest/lifecycle.sh)."""
import os
import shutil
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field

from . import provision
from .debian import image
from .host import run
from .machine import CMDLINE, Machine, initramfs

GUEST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "guest")
# A Raspberry Pi 2, where a 32-bit system runs the same static program: not a BCM2835.
OTHER_BOARD = ["raspberrypi,2-model-b", "brcm,bcm2836"]
# The boots in order, each as (steps, board, on a copy of the image). The boots of
# one row run side by side.
BOOTS = [[(["install"], "bcm2835", False)],
         [(["reboot", "remove"], "bcm2835", False), (["other-board", "upgrade"], "other", True)],
         [(["purge"], "bcm2835", False)]]
# iomem=relaxed stands in for Raspberry Pi's own kernels, as in board.py. The steps talk
# on the serial console, so no getty may take it, and no status line of systemd's may
# split one of their lines; the other gettys serve a screen this board has none of, and
# would only slow each boot.
CMDLINE_LIFECYCLE = (CMDLINE + " iomem=relaxed systemd.show_status=false systemd.wants=lifecycle.service"
                     " systemd.mask=serial-getty@ttyAMA0.service systemd.mask=getty@tty1.service"
                     " systemd.mask=getty-static.service lifecycle.steps=")
BOOT_TIMEOUT = 300


@dataclass
class Step:
    """What one step showed: GPFSEL0/1 read through the monitor where the guest said
    "@@READY STEP LABEL" (label -> (GPFSEL0, GPFSEL1)), the guest's facts (key -> text)
    and, for the first step of a boot, that boot's time on this machine in seconds."""
    regs: dict = field(default_factory=dict)
    facts: dict = field(default_factory=dict)
    seconds: float = None


def device_trees(soc, dtb, work):
    """The Pi Zero's device tree with GPIO 7-11 left as inputs, and the same as another board.
    Debian's tree hands GPIO 4, 5 and 7-11 to alternate function 0 with a hog: the boards
    here keep 4 and 5 in it, so that what the unit does to 7-11 shows."""
    trees = {"bcm2835": os.path.join(work, "bcm2835.dtb"), "other": os.path.join(work, "other.dtb")}
    shutil.copy(dtb, trees["bcm2835"])
    run("fdtput", "-t", "u", trees["bcm2835"], soc.dt_gpio_alt0_hog, "brcm,pins", "4", "5")
    shutil.copy(trees["bcm2835"], trees["other"])
    run("fdtput", "-t", "s", trees["other"], "/", "compatible", *OTHER_BOARD)
    return trees


def boot(soc, board, work, sd, tree, steps, deb):
    """Boots the system once for `steps`; gives step -> Step."""
    files = {"init": os.path.join(GUEST, "sdinit.sh"),
             "etc/modules": "".join(os.path.basename(m)[:-len(".ko")] + "\n" for m in board.ext4_modules).encode(),
             "lifecycle/lifecycle.sh": os.path.join(GUEST, "lifecycle.sh"),
             "lifecycle/lifecycle.service": os.path.join(GUEST, "lifecycle.service"),
             "lifecycle/" + os.path.basename(deb): deb}
    files.update(("lib/modules/" + os.path.basename(m), m) for m in board.ext4_modules)
    folder = os.path.join(work, steps[0])
    os.makedirs(folder)
    result = {step: Step() for step in steps}
    started = time.monotonic()
    with Machine(board.emulator, board.kernel, tree, CMDLINE_LIFECYCLE + ",".join(steps), folder,
                 initramfs(board.busybox, folder, files), ["-drive", "file=%s,if=sd,format=raw" % sd]) as machine:
        while True:
            said = machine.console.expect(r"^@@(END|READY (\S+) (\S+))$", BOOT_TIMEOUT)
            if said.group(1) == "END":
                break
            result[said.group(2)].regs[said.group(3)] = machine.qmp.words(soc.reg_address(soc.gpfsel0), 2)
            machine.console.send("go")
        machine.power_off()
    result[steps[0]].seconds = time.monotonic() - started
    for line in machine.console.lines:
        # @@RESULT STEP KEY [VALUE...], the value possibly empty
        if line.startswith("@@RESULT "):
            step, key, *value = line.split(" ", 3)[1:]
            result[step].facts[key] = value[0].strip() if value else ""
    return result


def lifecycle(cache, soc, nostatx, deb):
    """Takes the package through every step; gives step -> Step."""
    board = provision.prepare(cache)
    system = image.image(cache, nostatx)
    steps = {}
    with tempfile.TemporaryDirectory() as work:
        sd = os.path.join(work, "sd.img")
        run("cp", "--sparse=always", system, sd)
        trees = device_trees(soc, board.dtb, work)
        for row in BOOTS:
            # Copies are taken before any boot of the row writes to the image.
            disks = []
            for (first, *_), _, copy in row:
                disks.append(os.path.join(work, first + ".img") if copy else sd)
                if copy:
                    run("cp", "--sparse=always", sd, disks[-1])
            with ThreadPoolExecutor(len(row)) as pool:
                boots = [pool.submit(boot, soc, board, work, disk, trees[tree], steps_, deb)
                         for (steps_, tree, _), disk in zip(row, disks)]
                for done in boots:
                    steps.update(done.result())
    return steps
