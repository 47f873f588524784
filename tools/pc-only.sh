#!/bin/sh
# SPDX-License-Identifier: MIT
# Run first by the scripts that are for a development PC (the script's name is $1): on a
# board's own system (armel or armhf) they would fail late and obscurely, so this fails
# at once and says what to do instead.
case "$(dpkg --print-architecture 2>/dev/null)" in
armel | armhf)
    echo "$1 is for a PC, not for the board: on the board, build the tool as the README's" \
        "\"Or build it on the board\" says" >&2
    exit 1
    ;;
esac
