# SPDX-License-Identifier: MIT
"""switchPinCtrl on the emulated BCM2835 under a real Linux kernel: its output, status,
the registers afterwards and every bus access it made."""
import re

import pytest
from raspi0 import board
from raspi0.board import Case

# Bits 30-31 of the function-select registers read as 0 on this model.
CASES = {
    "zeros": Case((0, 0)),
    "ones": Case((0xFFFFFFFF, 0xFFFFFFFF)),
    "mixed": Case((0xA73AC688, 0x6C68FD5A)),
    "again": Case((None, None)),
    "args": Case(args=("--help", "-x", "7")),
    "nobody": Case(user="nobody"),
}
LINE = re.compile(rb"SPI mapped from 0x0x20204000 to 0x0x[0-9a-f]+000\n")


@pytest.fixture(scope="module")
def runs(option, soc):
    cache, tool = option("--board-cache"), option("--board-tool")
    found = board.run(cache, soc, tool, CASES)
    # Without iomem=relaxed the kernel keeps the GPIO block from user space.
    found.update(board.run(cache, soc, tool, {"refused": Case((None, None))}, strict=True))
    return found


def expect_switched(soc, run):
    """The line, status 0, the five fields switched, and the 20 accesses of two
    read-modify-writes per pin, in pin order."""
    assert LINE.fullmatch(run.out), run.out
    assert (run.err, run.status) == (b"", 0)
    assert run.after == (soc.switched(0, run.before[0]), soc.switched(1, run.before[1]))
    assert len(run.bus) == 20
    for n, pin in enumerate(soc.spi0_pins()):
        read, clear, read_back, set_ = run.bus[4 * n:4 * n + 4]
        address, shift = soc.reg_address(soc.fsel_reg(pin)), soc.fsel_shift(pin)
        assert [a[:2] for a in (read, clear, read_back, set_)] == [("r", address), ("w", address)] * 2, pin
        assert clear.value == read.value & ~(soc.fsel_mask << shift), pin
        assert read_back.value == clear.value, pin
        assert set_.value == read_back.value | soc.fsel_alt0 << shift, pin


def expect_refused(run, out):
    assert (run.out, run.err, run.status) == (out, b"", 255)
    assert run.after == run.before
    assert run.bus == []


@pytest.mark.parametrize("name", ["zeros", "ones", "mixed"])
def test_switches_from_any_seed(soc, runs, name):
    expect_switched(soc, runs[name])


def test_second_run_writes_the_same_again(soc, runs):
    expect_switched(soc, runs["again"])
    assert runs["again"].after == runs["again"].before


def test_arguments_change_nothing(soc, runs):
    expect_switched(soc, runs["args"])
    assert runs["args"].after == runs["zeros"].after


def test_non_root_cannot_open_the_device(runs):
    expect_refused(runs["nobody"], b"can't open /dev/mem \n")


def test_strict_kernel_refuses_the_mapping(runs):
    expect_refused(runs["refused"], b"mmap error -1\n")
