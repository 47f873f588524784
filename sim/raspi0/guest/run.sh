# shellcheck shell=sh
# SPDX-License-Identifier: MIT
# The job of board.py's run: /etc/cases calls `run NAME SEED0 SEED1 USER [ARG...]` once
# a case. Each "@@RESULT" line becomes a line of the results file that run() describes.

# Seeds GPFSEL0 and GPFSEL1 (a seed of - leaves the register as it is), then waits for
# the host before and after the tool runs, so that it can switch the bus trace on and off.
run() {
    name=$1 s0=$2 s1=$3 user=$4
    shift 4
    [ "$s0" = - ] || devmem "$GPFSEL0_ADDR" 32 "$s0"
    [ "$s1" = - ] || devmem "$GPFSEL1_ADDR" 32 "$s1"
    echo "@@RESULT $name before $(reg "$GPFSEL0_ADDR") $(reg "$GPFSEL1_ADDR")"
    echo "@@READY $name"
    read -r _
    reg "$MARK_BEFORE" >/dev/null
    if [ "$user" = root ]; then
        /bin/switchPinCtrl "$@" >/tmp/out 2>/tmp/err
    else
        su -s /bin/sh "$user" -c "/bin/switchPinCtrl $*" >/tmp/out 2>/tmp/err
    fi
    status=$?
    reg "$MARK_AFTER" >/dev/null
    echo "@@RAN $name"
    read -r _
    echo "@@RESULT $name status $status"
    echo "@@RESULT $name out $(hexdump -v -e '/1 "%02x"' /tmp/out)"
    echo "@@RESULT $name err $(hexdump -v -e '/1 "%02x"' /tmp/err)"
    echo "@@RESULT $name after $(reg "$GPFSEL0_ADDR") $(reg "$GPFSEL1_ADDR")"
}

# shellcheck source=/dev/null # written by the runner
. /etc/cases
