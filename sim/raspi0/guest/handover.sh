#!/bin/sh
# shellcheck shell=sh
# SPDX-License-Identifier: MIT
# GPIO 7-11 to alternate function 0 the way a user would without the tool: a devmem
# per register access. The layout comes from the runner.
# shellcheck source=/dev/null
. /etc/board.env
for g in $SPI0_PINS; do
    reg=$((GPIO_BASE + 4 * (GPFSEL0 + g / FSEL_PINS_PER_REG)))
    at=$((g % FSEL_PINS_PER_REG * FSEL_FIELD_BITS))
    v=$(devmem $reg)
    devmem $reg 32 $(((v & ~(FSEL_MASK << at)) | (FSEL_ALT0 << at)))
done
