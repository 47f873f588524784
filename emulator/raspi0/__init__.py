# SPDX-License-Identifier: MIT
"""QEMU's raspi0 machine (BCM2835, ARM1176) under Debian's Raspberry Pi kernel, driven from
Python: the tool's runs under a busybox initramfs with the bus traced (board), and the
owners' journeys on a Debian system (journeys, taken in chains by chains). Every function
that fails raises host.Failure with the emulator's or the command's own words."""
