# SPDX-License-Identifier: MIT
"""The BCM2835's map, as `simboard env` prints it from sim/bcm2835.hpp: the one map that
the stand-ins, the tests, this harness and its guest scripts share."""
from .host import run


class Soc:
    """Each KEY=VALUE of the map as an attribute `key`: numbers as int, paths as str.
    `env` is the map as the guest's shell scripts source it."""

    def __init__(self, simboard):
        self.env = run(simboard, "env").decode()
        for line in self.env.splitlines():
            key, _, value = line.partition("=")
            setattr(self, key.lower(), int(value, 0) if value[:1].isdigit() else value)

    def reg_address(self, reg):
        """The physical address of the GPIO block's 32-bit word `reg`."""
        return self.gpio_base + 4 * reg

    def fsel_reg(self, pin):
        return self.gpfsel0 + pin // self.fsel_pins_per_reg

    def fsel_shift(self, pin):
        return pin % self.fsel_pins_per_reg * self.fsel_field_bits

    def spi0_pins(self):
        return range(self.spi0_first_pin, self.spi0_last_pin + 1)

    def spi0_fields(self, reg, code):
        """The SPI0 pins' fields of GPFSEL`reg` (0 or 1), each holding `code`."""
        return sum(code << self.fsel_shift(pin) for pin in self.spi0_pins() if self.fsel_reg(pin) == reg)

    def switched(self, reg, before):
        """GPFSEL`reg` (0 or 1) as a run of the tool leaves it."""
        return (before & ~self.spi0_fields(reg, self.fsel_mask)) | self.spi0_fields(reg, self.fsel_alt0)
