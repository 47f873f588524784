# SPDX-License-Identifier: MIT
"""QEMU's memory_region_ops trace: the GPIO and SPI0 register accesses in a stretch of it."""
import re
from typing import NamedTuple

from .soc import GPIO_BASE, PAGE, SPI0_BASE

EVENTS = "memory_region_ops_*"
# The two pages the tool maps.
BLOCKS = [(base, base + PAGE) for base in (GPIO_BASE, SPI0_BASE)]
PATTERN = re.compile(r"memory_region_ops_(read|write) .*addr 0x([0-9a-f]+) value 0x([0-9a-f]+)")
Access = NamedTuple("Access", [("kind", str), ("address", int), ("value", int)])  # kind: "r" or "w"


def accesses(trace_path: str, start: int, end: int) -> list[Access]:
    """Every GPIO and SPI0 access logged between the byte offsets `start` and `end` of the trace, in order."""
    found = []
    with open(trace_path, "rb") as f:
        f.seek(start)
        for line in f.read(end - start).decode(errors="replace").splitlines():
            m = PATTERN.search(line)
            if m:
                address = int(m.group(2), 16)
                if any(first <= address < last for first, last in BLOCKS):
                    found.append(Access(m.group(1)[0], address, int(m.group(3), 16)))
    return found
