#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds everything and runs every test; CTest's summary is the last word.
set -eu
cd "$(dirname "$0")/.."
sh tools/pc-only.sh "$0"
tools/deps test
cmake --preset default
cmake --build --preset default
ctest --preset default
