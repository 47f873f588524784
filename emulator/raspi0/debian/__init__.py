# SPDX-License-Identifier: MIT
"""The emulated board's Debian system, made from Debian's packages on this machine."""
