#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs a program on QEMU's raspi0 machine (BCM2835, ARM1176) under Debian's
Raspberry Pi kernel and a busybox initramfs, against the kernel's real /dev/mem.

  board.py run [--strict] CACHE TOOL CASES RESULTS
      CASES: one run a line, "NAME SEED0 SEED1 USER [ARG...]"; a seed of "-"
      leaves that register as the last run left it. RESULTS gets what each run
      did (see run()). --strict boots without iomem=relaxed, so the kernel keeps
      the GPIO block to itself.
  board.py bench CACHE TOOL EMPTY
      Guest time of the tool, an empty program and a busybox devmem script,
      under deterministic instruction counting.
  board.py journey CACHE NOSTATX DEB RESULTS
      The package DEB through install, reboot, another board, removal and purge
      on a Debian system booted from an SD image (see journey.py); NOSTATX is the
      helper that the image is made with, once per recipe, as root.

CACHE holds the kernel, busybox and the patched emulator; they are fetched
with apt-get and made on first use (Debian's armel architecture must be
enabled: tools/deps test does that). On any failure it says why on stderr, with
the failing command's own output, and exits with status 1.
"""
import os
import sys
import tempfile

import emulator
import journey
import provision
import soc
import bustrace
from commands import Failure

GUEST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "guest")


def guest_files(job, settings, programs):
    """/init, the job it runs, the environment it sets, and the programs in /bin."""
    env = soc.guest_env() + "".join("%s=%s\n" % item for item in settings.items())
    files = {"init": os.path.join(GUEST, "init.sh"), "etc/job": os.path.join(GUEST, job), "etc/board.env": env.encode()}
    files.update(("bin/" + name, path) for name, path in programs.items())
    return files


def run(cache, tool, cases_path, results_path, strict):
    """Boots once for all the cases and writes RESULTS, a line per fact of a run:
        NAME before GPFSEL0 GPFSEL1    as read just before the run, "-" if unreadable
        NAME status STATUS             the run's exit status
        NAME out HEX / NAME err HEX    its standard output and error, hex bytes
        NAME after GPFSEL0 GPFSEL1     as read just after it
        NAME access r|w ADDRESS VALUE  one line per GPIO or SPI0 bus access it made, in order
    The first four kinds come from the guest's "@@RESULT" lines (guest/run.sh)."""
    provision.prepare(cache)
    cases = [line.split() for line in open(cases_path) if line.strip()]
    names = [c[0] for c in cases]
    settings = {"GPFSEL0_ADDR": hex(soc.reg_address(soc.gpfsel0)),
                "GPFSEL1_ADDR": hex(soc.reg_address(soc.gpfsel0 + 1)),
                "MARK_BEFORE": hex(bustrace.MARK_BEFORE), "MARK_AFTER": hex(bustrace.MARK_AFTER)}
    files = guest_files("run.sh", settings, {"switchPinCtrl": tool})
    files["etc/cases"] = "".join("run %s\n" % " ".join(c) for c in cases).encode()
    with tempfile.TemporaryDirectory() as work:
        initrd = emulator.initramfs(cache, work, files)
        trace_path = os.path.join(work, "trace.log")
        cmdline = emulator.CMDLINE + ("" if strict else " iomem=relaxed")

        # Tracing the whole boot slows it enough to stall it now and then:
        # trace each run alone.
        def on_line(line, monitor, answer):
            if line.startswith("@@READY "):
                monitor.command("trace-event memory_region_ops_* on")
                answer()
            elif line.startswith("@@RAN "):
                monitor.command("trace-event memory_region_ops_* off")
                answer()

        console = emulator.boot(cache, work, initrd, cmdline, ["-D", trace_path], on_line)
        runs = bustrace.windows(bustrace.accesses(trace_path), names, strict)
    with open(results_path, "w") as out:
        for line in console:
            if line.startswith("@@RESULT "):
                out.write(line[len("@@RESULT "):] + "\n")
        for name in names:
            for kind, addr, value in runs[name]:
                out.write("%s access %s %#x %#x\n" % (name, kind, addr, value))


def bench(cache, tool, empty, repeat=5):
    provision.prepare(cache)
    files = guest_files("bench.sh", {"REPEAT": repeat},
                        {"switchPinCtrl": tool, "empty": empty,
                         "handover.sh": os.path.join(GUEST, "handover.sh")})
    with tempfile.TemporaryDirectory() as work:
        initrd = emulator.initramfs(cache, work, files)
        console = emulator.boot(cache, work, initrd, emulator.CMDLINE + " iomem=relaxed",
                                ["-icount", "shift=1,sleep=off"])
    times = {}
    for line in console:
        if line.startswith("@@BENCH "):
            _, label, us = line.split()
            times.setdefault(label, []).append(int(us))
    print("guest time of one run (median of %d, microseconds), -icount shift=1,sleep=off:" % repeat)
    for label, values in times.items():
        print("  %-14s %8d   (runs: %s)" % (label, sorted(values)[len(values) // 2], " ".join(map(str, values))))


def main(argv):
    try:
        if len(argv) == 7 and argv[1:3] == ["run", "--strict"]:
            run(*argv[3:7], strict=True)
        elif len(argv) == 6 and argv[1] == "run":
            run(*argv[2:6], strict=False)
        elif len(argv) == 5 and argv[1] == "bench":
            bench(argv[2], argv[3], argv[4])
        elif len(argv) == 6 and argv[1] == "journey":
            with tempfile.TemporaryDirectory() as work:
                journey.journey(argv[2], argv[3], argv[4], argv[5], work)
        else:
            raise Failure("usage:\n" + __doc__)
    except Failure as e:
        sys.stderr.write("board.py: %s\n" % e)
        sys.exit(1)


if __name__ == "__main__":
    main(sys.argv)
