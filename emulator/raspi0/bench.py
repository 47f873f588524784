# SPDX-License-Identifier: MIT
"""The benchmark: guest time of the tool, of an empty program on the same runtime, and of
the same hand-over as a busybox devmem script, under deterministic instruction counting."""
import os
import tempfile

from . import provision
from .board import CMDLINE, RELAXED, guest_files
from .machine import Machine, initramfs

BENCHMARK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "benchmark")
TIMEOUT = 300


def bench(cache, soc, tool, empty, repeat=5):
    """Label -> the guest time of each of `repeat` runs, in microseconds."""
    board = provision.prepare(cache)
    files = guest_files(soc, os.path.join(BENCHMARK, "bench.sh"), {"REPEAT": repeat},
                        {"switchPinCtrl": tool, "empty": empty,
                         "devmem_baseline.sh": os.path.join(BENCHMARK, "devmem_baseline.sh")})
    with tempfile.TemporaryDirectory() as work:
        with Machine(board.emulator, board.kernel, board.dtb, CMDLINE + RELAXED, work,
                     initramfs(board.busybox, work, files), ["-icount", "shift=1,sleep=off"]) as machine:
            machine.console.expect("^@@END", TIMEOUT)
    times = {}
    for line in machine.console.lines:
        if line.startswith("@@BENCH "):
            _, label, us = line.split()
            times.setdefault(label, []).append(int(us))
    return times
