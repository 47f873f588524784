#!/bin/sh
# shellcheck shell=sh
# SPDX-License-Identifier: MIT
# The benchmark's baseline: GPIO 7-11 to alternate function 0 the way a user would without
# the tool, a busybox devmem per register access. The map comes from the harness; the
# loop is the shell's own, so that only the devmem calls start programs.
# shellcheck source=/dev/null
. /etc/board.env
g=$SPI0_FIRST_PIN
while [ "$g" -le "$SPI0_LAST_PIN" ]; do
    reg=$((GPIO_BASE + 4 * (GPFSEL0 + g / FSEL_PINS_PER_REG)))
    at=$((g % FSEL_PINS_PER_REG * FSEL_FIELD_BITS))
    v=$(devmem $reg)
    devmem $reg 32 $(((v & ~(FSEL_MASK << at)) | (FSEL_ALT0 << at)))
    g=$((g + 1))
done
