# SPDX-License-Identifier: MIT
"""The tool's runs on the emulated board: Debian's Raspberry Pi kernel and a busybox
initramfs with a root shell on the serial console, where the harness types the tool as an
owner would, against the kernel's real /dev/mem, with every GPIO and SPI0 bus access
traced."""
import os
import tempfile
from dataclasses import dataclass

from . import bustrace, provision
from .machine import Machine, initramfs
from .soc import seed_commands
from .standin import KERNEL_NEEDS, RASPIOS_KERNEL

INIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "guest", "init.sh")
# The command line of these boots, and why:
#   console=ttyAMA0     the console is the serial line, where the harness types
#   panic=-1            a panic reboots at once, and -no-reboot then ends the emulator
#   quiet               no kernel message splits what a command prints
#   cryptomgr.notests   skips the crypto self-tests, a few seconds on an emulated ARM1176
CMDLINE = "console=ttyAMA0 panic=-1 quiet cryptomgr.notests " + KERNEL_NEEDS
# iomem=relaxed stands in for Raspberry Pi's kernels, which let root map the registers as
# it is on a real Raspberry Pi OS board (standin.py); the strict boot keeps Debian's kernel
# as a Debian board has it.
RELAXED = " " + " ".join(RASPIOS_KERNEL)


@dataclass
class Case:
    """One run of the tool: GPFSEL0/1 seeded first (None leaves them as the last run left
    them), as `user`, with `args`."""
    seeds: tuple[int, int] | None = (0, 0)
    user: str = "root"
    args: tuple[str, ...] = ()


@dataclass
class Run:
    """What one run did: GPFSEL0/1 just before and after it, read through QEMU's monitor,
    its exit status, what the console showed of it, and its GPIO and SPI0 bus accesses."""
    before: tuple[int, ...]
    after: tuple[int, ...]
    status: int
    out: str
    bus: list[bustrace.Access]  # in order


def command(case: Case) -> str:
    """What the owner types for `case`."""
    tool = " ".join(["switchPinCtrl", *case.args])
    return tool if case.user == "root" else "su -s /bin/sh %s -c '%s'" % (case.user, tool)


def run(cache: str, tool: str, cases: dict[str, Case], strict: bool = False) -> dict[str, Run]:
    """Boots once for `cases` (name -> Case), in order; gives name -> Run. A strict boot
    keeps Debian's kernel as it is, which refuses to map the GPIO block."""
    board = provision.prepare(cache)
    runs = {}
    with tempfile.TemporaryDirectory() as work:
        trace = os.path.join(work, "trace.log")
        files = {"init": INIT, "bin/switchPinCtrl": tool}
        with Machine(board.emulator, board.kernel, board.dtb, CMDLINE + ("" if strict else RELAXED), work,
                     initramfs(board.busybox, work, files), ["-D", trace]) as machine:
            console = machine.console
            console.login(None)
            for name, case in cases.items():
                for seed in seed_commands(case.seeds) if case.seeds else []:
                    console.run(seed)
                before = machine.gpfsel()
                # Tracing the whole boot slows it enough to stall it now and then: each
                # run alone is traced, and QEMU writes each event out as it logs it.
                machine.qmp.trace(bustrace.EVENTS, True)
                start = os.path.getsize(trace)
                status, out = console.run(command(case), status=None)
                machine.qmp.trace(bustrace.EVENTS, False)
                bus = bustrace.accesses(trace, start, os.path.getsize(trace))
                runs[name] = Run(before, machine.gpfsel(), status, out, bus)
            console.run("poweroff -f")
            machine.power_off()
    return runs
