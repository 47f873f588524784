# SPDX-License-Identifier: MIT
"""The BCM2835's addresses and GPIO layout, read from sim/bcm2835.hpp, the one map
that the stand-ins and the tests share."""
import os
import re

HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "bcm2835.hpp")


def _read(path):
    """Each `constexpr TYPE name = expression;` line, its expression evaluated with
    the names defined above it."""
    values = {}
    pattern = re.compile(r"^constexpr \w+ (\w+) = ([^;]+);")
    with open(path) as f:
        for line in f:
            m = pattern.match(line)
            if m:
                values[m.group(1)] = eval(m.group(2), {"__builtins__": {}}, dict(values))
    return values


_values = _read(HEADER)
globals().update(_values)


def fsel_reg(pin):
    return _values["gpfsel0"] + pin // _values["fsel_pins_per_reg"]


def reg_address(reg):
    """The physical address of the GPIO block's 32-bit word `reg`."""
    return _values["gpio_base"] + 4 * reg


def guest_env():
    """The values as shell variable assignments, for the guest's scripts, and the
    SPI0 pins as a list (a loop over them then starts no seq)."""
    pins = range(_values["spi0_first_pin"], _values["spi0_last_pin"] + 1)
    return "".join("%s=%s\n" % (name.upper(), hex(value) if value >= 0x1000 else value)
                   for name, value in sorted(_values.items())) + 'SPI0_PINS="%s"\n' % " ".join(map(str, pins))
