#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds the tool and runs it once on the simulated board, showing the pins
# before and after.
set -eu
cd "$(dirname "$0")/.."
sh tools/pc-only.sh "$0"
tools/deps build
cmake --preset default >/dev/null
cmake --build --preset default --target switchPinCtrl simboard >/dev/null

build=build/default
image=$build/board.img # the image this build of the tool maps in place of /dev/mem
"$build/sim/simboard" reset "$image"
echo "== Board after reset =="
"$build/sim/simboard" show "$image"
echo
echo "== \$ switchPinCtrl =="
status=0
"$build/switchPinCtrl" || status=$?
echo "(exit status $status)"
echo
echo "== Board after the run =="
"$build/sim/simboard" show "$image"
