# SPDX-License-Identifier: MIT
"""The benchmark: guest time of the tool, of an empty program on the same runtime, and of
the same hand-over as a busybox devmem script, under deterministic instruction counting,
each typed at the busybox shell in a loop that reads the system timer around it."""
import os
import tempfile

from raspi0 import provision
from raspi0.board import CMDLINE, INIT, RELAXED
from raspi0.machine import Machine, initramfs
from raspi0.soc import GPIO_BASE, TIMER

BASELINE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "benchmark", "devmem_baseline.sh")
PROGRAMS = {"empty": "/bin/empty", "switchPinCtrl": "/bin/switchPinCtrl",
            "devmem-script": "sh /bin/devmem_baseline.sh %#x" % GPIO_BASE}


def bench(cache: str, tool: str, empty: str, repeat: int = 5) -> dict[str, list[int]]:
    """Label -> the guest time of each of `repeat` runs, in microseconds."""
    board = provision.prepare(cache)
    files = {"init": INIT, "bin/switchPinCtrl": tool, "bin/empty": empty, "bin/devmem_baseline.sh": BASELINE}
    times = {}
    with tempfile.TemporaryDirectory() as work:
        with Machine(board.emulator, board.kernel, board.dtb, CMDLINE + RELAXED, work,
                     initramfs(board.busybox, work, files), clock=["-icount", "shift=1,sleep=off"]) as machine:
            machine.console.login(None)
            for label, program in PROGRAMS.items():
                out = machine.console.run("for i in $(seq %d); do t0=$(devmem %#x); %s >/dev/null; t1=$(devmem %#x); "
                                          "echo $((t1 - t0)); done" % (repeat, TIMER, program, TIMER))
                times[label] = [int(line) for line in out.split()]
            machine.console.run("poweroff -f")
            machine.power_off()
    return times
