# shellcheck shell=sh
# SPDX-License-Identifier: MIT
# The benchmark's job in the guest: the guest time of each program, REPEAT times, read
# from the system timer's microsecond counter around it.
time_it() {
    label=$1
    shift
    for _ in $(seq "$REPEAT"); do
        t0=$(devmem "$TIMER_COUNTER")
        "$@" >/dev/null
        t1=$(devmem "$TIMER_COUNTER")
        echo "@@BENCH $label $((t1 - t0))"
    done
}

time_it empty /bin/empty
time_it switchPinCtrl /bin/switchPinCtrl
time_it devmem-script /bin/sh /bin/devmem_baseline.sh
