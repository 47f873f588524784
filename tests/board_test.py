# SPDX-License-Identifier: MIT
"""switchPinCtrl typed at the emulated BCM2835's console under a real Linux kernel: what it
printed, its status, GPFSEL0/1 before and after as QEMU's monitor reads them, and every
bus access it made."""
import re

import pytest
from raspi0 import board
from raspi0.board import Case
from raspi0.machine import GPFSEL0

GPFSEL1 = GPFSEL0 + 4
# Each pin's function-select field, and the field holding 100 (alternate function 0).
FIELDS = {7: (GPFSEL0, 0x00E00000, 0x00800000), 8: (GPFSEL0, 0x07000000, 0x04000000),
          9: (GPFSEL0, 0x38000000, 0x20000000), 10: (GPFSEL1, 0x00000007, 0x00000004),
          11: (GPFSEL1, 0x00000038, 0x00000020)}
# Each case, and GPFSEL0/1 before and after it. Bits 30-31 read as 0 on this model.
CASES = {
    "zeros": (Case((0, 0)), (0x00000000, 0x00000000), (0x24800000, 0x00000024)),
    "ones": (Case((0xFFFFFFFF, 0xFFFFFFFF)), (0x3FFFFFFF, 0x3FFFFFFF), (0x249FFFFF, 0x3FFFFFE4)),
    "mixed": (Case((0xA73AC688, 0x6C68FD5A)), (0x273AC688, 0x2C68FD5A), (0x249AC688, 0x2C68FD64)),
    # A second run, on what the first left: the same writes, and the same registers.
    "again": (Case(None), (0x249AC688, 0x2C68FD64), (0x249AC688, 0x2C68FD64)),
    "args": (Case((0, 0), args=("--help", "-x", "7")), (0x00000000, 0x00000000), (0x24800000, 0x00000024)),
}
LINE = re.compile(r"SPI mapped from 0x0x20204000 to 0x0x[0-9a-f]+000\n")


@pytest.fixture(scope="module")
def runs(option):
    cache, tool = option("--board-cache"), option("--board-tool")
    cases = {name: case for name, (case, _, _) in CASES.items()}
    found = board.run(cache, tool, dict(cases, nobody=Case(user="nobody")))
    # Without iomem=relaxed the kernel keeps the GPIO block from user space.
    found.update(board.run(cache, tool, {"refused": Case(None)}, strict=True))
    return found


@pytest.mark.parametrize("name", CASES)
def test_switches(runs, name):
    """The line, status 0, the registers as they must be, and two read-modify-writes per
    pin, in pin order: each field goes through 000 (input) before it holds 100."""
    run, (_, before, after) = runs[name], CASES[name]
    assert LINE.fullmatch(run.out), run.out
    assert (run.status, run.before, run.after) == (0, before, after)
    registers, expected = dict(zip((GPFSEL0, GPFSEL1), before)), []
    for address, mask, alt0 in FIELDS.values():
        value, cleared = registers[address], registers[address] & ~mask
        registers[address] = cleared | alt0
        expected += [("r", address, value), ("w", address, cleared),
                     ("r", address, cleared), ("w", address, registers[address])]
    assert [tuple(a) for a in run.bus] == expected


@pytest.mark.parametrize("name, out", [("nobody", "can't open /dev/mem \n"), ("refused", "mmap error -1\n")])
def test_refused(runs, name, out):
    """Refused: the one line, status 255, the registers untouched and no bus access."""
    run = runs[name]
    assert (run.out, run.status, run.after, run.bus) == (out, 255, run.before, [])
