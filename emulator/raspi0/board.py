# SPDX-License-Identifier: MIT
"""The tool's runs on the emulated board under a busybox initramfs, against the kernel's
real /dev/mem, with every GPIO and SPI0 bus access traced."""
import os
import tempfile
from dataclasses import dataclass, field

from . import bustrace, provision
from .machine import KERNEL_NEEDS, Machine, initramfs

GUEST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "guest")
# The command line of these boots, and why:
#   console=ttyAMA0     the console is the serial line, which the harness reads
#   panic=-1            a panic reboots at once, and -no-reboot then ends the emulator
#   quiet               no kernel message splits a line that the guest reports
#   cryptomgr.notests   skips the crypto self-tests, a few seconds on an emulated ARM1176
CMDLINE = "console=ttyAMA0 panic=-1 quiet cryptomgr.notests " + KERNEL_NEEDS
# Raspberry Pi's own kernels for the Pi 0 and 1 leave STRICT_DEVMEM off, so /dev/mem maps
# the GPIO block there. Debian's kernel has it on; iomem=relaxed stands in for those
# kernels in the tool's runs. The strict boot leaves it out.
RELAXED = " iomem=relaxed"
BOOT_TIMEOUT = 120


@dataclass
class Case:
    """One run of the tool: GPFSEL0/1 seeded first (None leaves a register as the last
    run left it), as `user`, with `args`."""
    seeds: tuple = (0, 0)
    user: str = "root"
    args: tuple = ()


@dataclass
class Run:
    """What one run did. GPFSEL0/1 as the guest read them just before and after it,
    None where the kernel keeps them from user space."""
    before: tuple = None
    after: tuple = None
    status: int = None
    out: bytes = None
    err: bytes = None
    bus: list = field(default_factory=list)  # bustrace.Access, in order


def guest_files(soc, job, settings, programs):
    """/init, the job it runs, the map and settings it sources, and the programs in /bin."""
    env = soc.env + "".join("%s=%s\n" % item for item in settings.items())
    files = {"init": os.path.join(GUEST, "init.sh"), "etc/job": job, "etc/board.env": env.encode()}
    files.update(("bin/" + name, path) for name, path in programs.items())
    return files


def run(cache, soc, tool, cases, strict=False):
    """Boots once for `cases` (name -> Case), in order; gives name -> Run. A strict boot
    keeps Debian's kernel as it is, which refuses to map the GPIO block."""
    board = provision.prepare(cache)
    lines = []
    for name, case in cases.items():
        seeds = " ".join("-" if s is None else hex(s) for s in case.seeds)
        lines.append("run %s %s %s %s\n" % (name, seeds, case.user, " ".join(case.args)))
    files = guest_files(soc, os.path.join(GUEST, "run.sh"), {}, {"switchPinCtrl": tool})
    files["etc/cases"] = "".join(lines).encode()
    with tempfile.TemporaryDirectory() as work:
        trace = os.path.join(work, "trace.log")
        with Machine(board.emulator, board.kernel, board.dtb, CMDLINE + ("" if strict else RELAXED), work,
                     initramfs(board.busybox, work, files), ["-D", trace]) as machine:
            # Tracing the whole boot slows it enough to stall it now and then: each
            # run alone is traced.
            for name in cases:
                machine.console.expect("^@@READY %s$" % name, BOOT_TIMEOUT)
                machine.qmp.trace(bustrace.EVENTS, True)
                machine.console.send("go")
                machine.console.expect("^@@RAN %s$" % name, BOOT_TIMEOUT)
                machine.qmp.trace(bustrace.EVENTS, False)
                machine.console.send("go")
            machine.console.expect("^@@END", BOOT_TIMEOUT)
        windows = bustrace.windows(soc, bustrace.accesses(soc, trace), list(cases), strict)
    runs = {name: Run(bus=windows[name]) for name in cases}
    for line in machine.console.lines:
        # @@RESULT NAME before|after GPFSEL0 GPFSEL1, or NAME status N, or NAME out|err HEX
        if line.startswith("@@RESULT "):
            name, key, *values = line.split()[1:]
            if key in ("before", "after"):
                setattr(runs[name], key, None if "-" in values else tuple(int(v, 16) for v in values))
            elif key == "status":
                runs[name].status = int(values[0])
            else:
                setattr(runs[name], key, bytes.fromhex(values[0] if values else ""))
    return runs
