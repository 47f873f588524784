# shellcheck shell=sh
# SPDX-License-Identifier: MIT
# The job of the tool's runs (board.py): /etc/cases calls `run NAME SEED0 SEED1 USER [ARG...]`
# once a case. The harness reads the "@@RESULT" lines once the board is done.
gpfsel0_addr=$((GPIO_BASE + 4 * GPFSEL0))
gpfsel1_addr=$((gpfsel0_addr + 4))
mark_before=$((GPIO_BASE + 4 * GPLEV1))
mark_after=$((GPIO_BASE + 4 * GPIO_RESERVED_3C))

# Seeds GPFSEL0 and GPFSEL1 (a seed of - leaves the register as it is), then waits for
# the host before and after the tool runs, so that it can switch the bus trace on and off.
run() {
    name=$1 s0=$2 s1=$3 user=$4
    shift 4
    [ "$s0" = - ] || devmem $gpfsel0_addr 32 "$s0"
    [ "$s1" = - ] || devmem $gpfsel1_addr 32 "$s1"
    echo "@@RESULT $name before $(reg $gpfsel0_addr) $(reg $gpfsel1_addr)"
    echo "@@READY $name"
    read -r _
    reg $mark_before >/dev/null
    if [ "$user" = root ]; then
        /bin/switchPinCtrl "$@" >/tmp/out 2>/tmp/err
    else
        su -s /bin/sh "$user" -c "/bin/switchPinCtrl $*" >/tmp/out 2>/tmp/err
    fi
    status=$?
    reg $mark_after >/dev/null
    echo "@@RAN $name"
    read -r _
    echo "@@RESULT $name status $status"
    echo "@@RESULT $name out $(hexdump -v -e '/1 "%02x"' /tmp/out)"
    echo "@@RESULT $name err $(hexdump -v -e '/1 "%02x"' /tmp/err)"
    echo "@@RESULT $name after $(reg $gpfsel0_addr) $(reg $gpfsel1_addr)"
}

# shellcheck source=/dev/null # written by the harness
. /etc/cases
