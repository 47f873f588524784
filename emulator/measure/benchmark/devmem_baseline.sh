#!/bin/sh
# SPDX-License-Identifier: MIT
# The benchmark's baseline: GPIO 7-11 to alternate function 0 the way a user would without
# the tool, a busybox devmem per register access to GPFSEL0 and GPFSEL1 (the first two
# words of the GPIO block, whose address is $1; ten 3-bit fields each). The loop is the
# shell's own, so that only the devmem calls start programs.
#   devmem_baseline.sh GPIO_BASE
g=7
while [ $g -le 11 ]; do
    reg=$(($1 + 4 * (g / 10)))
    at=$((g % 10 * 3))
    v=$(devmem $reg)
    devmem $reg 32 $(((v & ~(7 << at)) | (4 << at)))
    g=$((g + 1))
done
