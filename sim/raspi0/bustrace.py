# SPDX-License-Identifier: MIT
"""QEMU's memory_region_ops trace, cut into the register accesses of each run."""
import re

import soc
from commands import Failure

BLOCKS = [(base, base + soc.page_size - 1) for base in (soc.gpio_base, soc.spi0_base)]
# GPLEV1 and a reserved word: registers the tool never touches. The guest reads them
# just before and just after each run, to cut that run's window out of the trace.
MARK_BEFORE, MARK_AFTER = soc.gpio_base + 0x38, soc.gpio_base + 0x3C


def accesses(trace_path):
    """(kind, address, value) of every GPIO and SPI0 access in the trace."""
    pattern = re.compile(r"memory_region_ops_(read|write) .*addr 0x([0-9a-f]+) value 0x([0-9a-f]+)")
    found = []
    with open(trace_path, errors="replace") as f:
        for line in f:
            m = pattern.search(line)
            if m:
                addr = int(m.group(2), 16)
                if any(first <= addr <= last for first, last in BLOCKS):
                    found.append(("r" if m.group(1) == "read" else "w", addr, int(m.group(3), 16)))
    return found


def windows(found, names, strict):
    """Each run's accesses: between the two marker reads, or, where the kernel
    keeps the block from user space and no marker can be read, all of them."""
    if strict:
        if len(names) != 1:
            raise Failure("a strict boot takes exactly one run")
        return {names[0]: found}
    result, current = {}, None
    for kind, addr, value in found:
        if kind == "r" and addr == MARK_BEFORE:
            current = []
        elif kind == "r" and addr == MARK_AFTER and current is not None:
            result[names[len(result)]] = current
            current = None
        elif current is not None:
            current.append((kind, addr, value))
    if len(result) != len(names):
        raise Failure("found %d trace windows for %d runs" % (len(result), len(names)))
    return result
