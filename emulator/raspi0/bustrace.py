# SPDX-License-Identifier: MIT
"""QEMU's memory_region_ops trace, cut into the GPIO and SPI0 register accesses of each
run of the tool."""
import re
from collections import namedtuple

from .host import Failure

EVENTS = "memory_region_ops_*"
Access = namedtuple("Access", "kind address value")  # kind: "r" or "w"
PATTERN = re.compile(r"memory_region_ops_(read|write) .*addr 0x([0-9a-f]+) value 0x([0-9a-f]+)")


def accesses(soc, trace_path):
    """Every GPIO and SPI0 access in the trace, in order."""
    blocks = [(base, base + soc.page_size) for base in (soc.gpio_base, soc.spi0_base)]
    found = []
    with open(trace_path, errors="replace") as f:
        for line in f:
            m = PATTERN.search(line)
            if m:
                address = int(m.group(2), 16)
                if any(first <= address < end for first, end in blocks):
                    found.append(Access(m.group(1)[0], address, int(m.group(3), 16)))
    return found


def windows(soc, found, names, strict):
    """Each run's accesses: between the guest's reads of the two marker registers, or,
    where the kernel keeps the block from user space and no marker can be read, all."""
    if strict:
        if len(names) != 1:
            raise Failure("a strict boot takes exactly one run")
        return {names[0]: found}
    before, after = soc.reg_address(soc.gplev1), soc.reg_address(soc.gpio_reserved_3c)
    result, current = {}, None
    for access in found:
        marker = access.address if access.kind == "r" else None
        if marker == before:
            current = []
        elif marker == after and current is not None:
            result[names[len(result)]] = current
            current = None
        elif current is not None:
            current.append(access)
    if len(result) != len(names):
        raise Failure("found %d trace windows for %d runs" % (len(result), len(names)))
    return result
