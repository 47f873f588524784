# SPDX-License-Identifier: MIT
"""The BCM2835 as the harness judges it: the register blocks that the tool maps, GPFSEL0/1
and the fields of GPIO 7-11 in them, what the kernel leaves there, and the line the tool
prints. The counterpart of sim/bcm2835.hpp, which the C++ tests and the stand-ins read."""

# Physical addresses of the blocks the tool maps, one page each.
GPIO_BASE = 0x20200000
SPI0_BASE = 0x20204000
PAGE = 0x1000
# The function selects of GPIO 0-9 and 10-19: the GPIO block's first two words. Pin p's
# 3-bit field is in word p // 10, at bit (p % 10) * 3.
GPFSEL0 = GPIO_BASE
GPFSEL1 = GPIO_BASE + 4
FIELD_MASK = 0b111
ALT0 = 0b100  # alternate function 0, which gives GPIO 7-11 to SPI0
SPI0_PINS = range(7, 12)
# The system timer's free-running microsecond counter.
TIMER = 0x20003004

# The line that the tool prints once it has mapped both blocks, as a regular expression:
# the %p of the C library already begins with 0x, and the mapped page is page-aligned.
TOOL_LINE = r"SPI mapped from 0x%#x to 0x0x[0-9a-f]*000" % SPI0_BASE

# GPFSEL0/1 as the kernel leaves them: with Debian's tree, whose hog puts GPIO 0-5 and
# 7-11 in alternate function 0 and makes 6 an output; with Raspberry Pi OS's (7-11
# inputs); with SPI0 given to the kernel's driver (7 and 8 its chip-select outputs, 9-11
# alternate function 0). And Raspberry Pi OS's once the tool has run: Debian's.
DEBIAN = (0x24864924, 0x24024024)
RASPIOS = (0x00064924, 0x24024000)
SPI_DRIVER = (0x21264924, 0x24024024)
SWITCHED = DEBIAN


def field(pin: int) -> tuple[int, int, int]:
    """Pin `pin`'s function field: its register's address, the field's mask there, and the
    field holding alternate function 0."""
    shift = pin % 10 * 3
    return GPFSEL0 + 4 * (pin // 10), FIELD_MASK << shift, ALT0 << shift


def spi0_in_alt0(regs: tuple[int, ...]) -> bool:
    """Whether GPFSEL0/1 (`regs`) hold alternate function 0 for every one of GPIO 7-11."""
    values = dict(zip((GPFSEL0, GPFSEL1), regs))
    return all(values[address] & mask == alt0 for address, mask, alt0 in map(field, SPI0_PINS))


def seed_commands(regs: tuple[int, int], devmem: str = "devmem") -> list[str]:
    """The commands that write `regs` to GPFSEL0/1 with busybox's devmem, called as `devmem`."""
    return ["%s 0x%08x 32 0x%08x" % (devmem, address, value) for address, value in zip((GPFSEL0, GPFSEL1), regs)]
