# SPDX-License-Identifier: MIT
"""Measuring programs for the emulated board, run by hand (CONTRIBUTING.md says when); no
test imports them."""
