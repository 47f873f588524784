#!/bin/busybox sh
# shellcheck shell=sh
# SPDX-License-Identifier: MIT
# The emulated board's /init: mounts what busybox and the tool need, runs the job the
# harness packed as /etc/job, prints the end marker and powers off.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
# The SoC's map and the harness's settings, for the job. Not exported: every program
# started would carry them, and the benchmark would time that.
# shellcheck source=/dev/null # written by the harness
. /etc/board.env

# Prints a register, or "-" where the kernel keeps it from user space.
reg() { devmem "$1" 2>/dev/null || echo -; }

# shellcheck source=/dev/null # guest/run.sh or benchmark/bench.sh
. /etc/job
echo "@@END"
poweroff -f
