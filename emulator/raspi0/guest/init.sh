#!/bin/busybox sh
# shellcheck shell=sh
# SPDX-License-Identifier: MIT
# The /init of the tool's runs under busybox: mounts what busybox and the tool need and
# gives a root shell on the serial console, where the harness types.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
exec setsid cttyhack sh
