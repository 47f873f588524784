# SPDX-License-Identifier: MIT
"""The package's lifecycle on the emulated board's Debian system, booted from its own card
as the Raspberry Pi's firmware boots it (firmware.py):
  - stock Debian: install the armel package and enable its unit, which Debian's kernel
    refuses; the owner's step, as the README gives it: iomem=relaxed through raspi-firmware;
  - reboot, and the unit switches the pins; remove the package; reboot and purge it, then
    install the armhf package and start its unit;
  - beside those, copies of the card as the step left it boot as another board (and
    upgrade the package there) and with SPI0 given to the kernel's driver, and the image
    a fleet bakes (debian/fleet.py) has its first boot.
Each boot is judged from outside: the console, GPFSEL0/1 read through QEMU's monitor, the
card's files, and what the guest reports (guest/lifecycle.sh)."""
import os
import shutil
import tempfile
import time
from collections import namedtuple
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field

from . import firmware, provision
from .debian import fleet, image
from .host import run
from .machine import Machine

GUEST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "guest")
Boot = namedtuple("Boot", "steps board card")
# The boots in order; those of one row run side by side. Each boots a board of
# firmware.BOARDS from a card: "sd", one of COPIES, taken of it once the first row is
# done, or "fleet", the image a fleet bakes.
BOOTS = [[Boot(["stock", "step"], "pi-zero", "sd"), Boot(["first-boot"], "pi-zero", "fleet")],
         [Boot(["reboot", "remove"], "pi-zero", "sd"), Boot(["other-board", "upgrade"], "pi-2", "pi-2")],
         [Boot(["purge", "armhf"], "pi-zero", "sd"), Boot(["spi"], "spi0-kernel", "spi")]]
COPIES = ["pi-2", "spi"]
BOOT_TIMEOUT = 300


@dataclass
class Step:
    """What one step showed: GPFSEL0/1 read through the monitor where the guest said
    "@@READY STEP LABEL" (label -> (GPFSEL0, GPFSEL1)) and the guest's facts (key -> text).
    The first step of a boot also holds that boot's kernel command line, the card's
    cmdline.txt once it had powered off, and its time on this machine in seconds."""
    regs: dict = field(default_factory=dict)
    facts: dict = field(default_factory=dict)
    cmdline: str = None
    cmdline_txt: str = None
    seconds: float = None


def boot(soc, emulator, work, card, board, steps, debs, files=(), name=None):
    """Boots the system from `card` once for `steps`, with `files` for them beside the
    packages `debs`; gives step -> Step. `name` (the first step's by default) names its folder."""
    folder = os.path.join(work, name or steps[0])
    os.makedirs(folder)
    # The steps and the package, on the card as an owner copies a file to it from a PC.
    stage = os.path.join(folder, "lifecycle")
    os.makedirs(stage)
    for path in (os.path.join(GUEST, "lifecycle.sh"), *debs, *files):
        shutil.copy(path, stage)
    firmware.put(card, stage)
    kernel, initrd, dtb, cmdline = firmware.boot_files(card, folder)
    cmdline = " ".join([cmdline, *firmware.ADDED, firmware.STEPS + ",".join(steps)])
    tree = firmware.device_tree(soc, board, dtb, os.path.join(folder, board + ".dtb"))
    result = {step: Step() for step in steps}
    started = time.monotonic()
    with Machine(emulator, kernel, tree, cmdline, folder, initrd,
                 ["-drive", "file=%s,if=sd,format=raw" % card]) as machine:
        while True:
            said = machine.console.expect(r"^@@(END|READY (\S+) (\S+))$", BOOT_TIMEOUT)
            if said.group(1) == "END":
                break
            result[said.group(2)].regs[said.group(3)] = machine.qmp.words(soc.reg_address(soc.gpfsel0), 2)
            machine.console.send("go")
        machine.power_off()
    first = result[steps[0]]
    first.seconds, first.cmdline = time.monotonic() - started, cmdline
    first.cmdline_txt = firmware.read(card, "cmdline.txt").strip()
    for line in machine.console.lines:
        # @@RESULT STEP KEY [VALUE...], the value possibly empty
        if line.startswith("@@RESULT "):
            step, key, *value = line.split(" ", 3)[1:]
            result[step].facts[key] = value[0].strip() if value else ""
    return result


def lifecycle(cache, soc, oldcalls, deb, deb_armhf):
    """Takes the packages, armel `deb` and `deb_armhf`, through every step; gives step -> Step."""
    emulator = provision.emulator(cache)
    system = image.image(cache, oldcalls)
    baked, _ = fleet.fleet_image(cache, oldcalls, deb)
    steps = {}
    with tempfile.TemporaryDirectory() as work:
        cards = {name: os.path.join(work, name + ".img") for name in ["sd", "fleet", *COPIES]}
        run("cp", "--sparse=always", system, cards["sd"])
        run("cp", "--sparse=always", baked, cards["fleet"])
        for index, row in enumerate(BOOTS):
            if index == 1:
                for name in COPIES:
                    run("cp", "--sparse=always", cards["sd"], cards[name])
            with ThreadPoolExecutor(len(row)) as pool:
                boots = [pool.submit(boot, soc, emulator, work, cards[b.card], b.board, b.steps, [deb, deb_armhf])
                         for b in row]
                for done in boots:
                    steps.update(done.result())
    return steps
