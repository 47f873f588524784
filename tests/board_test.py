# SPDX-License-Identifier: MIT
"""switchPinCtrl typed at the emulated BCM2835's console under a real Linux kernel: what it
printed, its status, GPFSEL0/1 before and after as QEMU's monitor reads them, and every
bus access it made."""
import re
from collections.abc import Callable

import pytest
from raspi0 import board
from raspi0.board import Case, Run
from raspi0.soc import GPFSEL0, GPFSEL1, TOOL_LINE

# Each case, and GPFSEL0/1 before and after it. Bits 30-31 read as 0 on this model.
CASES = {
    "zeros": (Case((0, 0)), (0x00000000, 0x00000000), (0x24800000, 0x00000024)),
    "ones": (Case((0xFFFFFFFF, 0xFFFFFFFF)), (0x3FFFFFFF, 0x3FFFFFFF), (0x249FFFFF, 0x3FFFFFE4)),
    "mixed": (Case((0xA73AC688, 0x6C68FD5A)), (0x273AC688, 0x2C68FD5A), (0x249AC688, 0x2C68FD64)),
    # A second run, on what the first left: the same writes, and the same registers.
    "again": (Case(None), (0x249AC688, 0x2C68FD64), (0x249AC688, 0x2C68FD64)),
    "args": (Case((0, 0), args=("--help", "-x", "7")), (0x00000000, 0x00000000), (0x24800000, 0x00000024)),
}
# The mixed case's bus accesses, worked out by hand: for GPIO 7 to 11, 4 each (test_switches).
MIXED_BUS = [
    ("r", GPFSEL0, 0x273AC688), ("w", GPFSEL0, 0x271AC688), ("r", GPFSEL0, 0x271AC688), ("w", GPFSEL0, 0x279AC688),
    ("r", GPFSEL0, 0x279AC688), ("w", GPFSEL0, 0x209AC688), ("r", GPFSEL0, 0x209AC688), ("w", GPFSEL0, 0x249AC688),
    ("r", GPFSEL0, 0x249AC688), ("w", GPFSEL0, 0x049AC688), ("r", GPFSEL0, 0x049AC688), ("w", GPFSEL0, 0x249AC688),
    ("r", GPFSEL1, 0x2C68FD5A), ("w", GPFSEL1, 0x2C68FD58), ("r", GPFSEL1, 0x2C68FD58), ("w", GPFSEL1, 0x2C68FD5C),
    ("r", GPFSEL1, 0x2C68FD5C), ("w", GPFSEL1, 0x2C68FD44), ("r", GPFSEL1, 0x2C68FD44), ("w", GPFSEL1, 0x2C68FD64),
]


@pytest.fixture(scope="module")
def runs(option: Callable[[str], str]) -> dict[str, Run]:
    cache, tool = option("--board-cache"), option("--board-tool")
    cases = {name: case for name, (case, _, _) in CASES.items()}
    found = board.run(cache, tool, dict(cases, nobody=Case(user="nobody")))
    # Without iomem=relaxed the kernel keeps the GPIO block from user space.
    found.update(board.run(cache, tool, {"refused": Case(None)}, strict=True))
    return found


@pytest.mark.parametrize("name", CASES)
def test_switches(runs: dict[str, Run], name: str) -> None:
    """The line, status 0, the registers as they must be, and two read-modify-writes per pin,
    in pin order, in every case: each field goes through 000 (input) before it holds 100."""
    run, (_, before, after) = runs[name], CASES[name]
    assert re.fullmatch(TOOL_LINE + "\n", run.out), run.out
    assert (run.status, run.before, run.after) == (0, before, after)
    assert [a[:2] for a in run.bus] == [a[:2] for a in MIXED_BUS]
    assert name != "mixed" or run.bus == MIXED_BUS


@pytest.mark.parametrize("name, out", [("nobody", "can't open /dev/mem \n"), ("refused", "mmap error -1\n")])
def test_refused(runs: dict[str, Run], name: str, out: str) -> None:
    """Refused: the one line, status 255, the registers untouched and no bus access."""
    run = runs[name]
    assert (run.out, run.status, run.after, run.bus) == (out, 255, run.before, [])
