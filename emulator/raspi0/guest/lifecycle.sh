#!/bin/sh
# SPDX-License-Identifier: MIT
# The steps of the package's lifecycle that one boot of the emulated board's Debian
# system takes, named on the kernel's command line (lifecycle.steps=STEP,STEP...), in
# order. The harness puts this script and the package on the card's FAT partition, and
# the image's lifecycle.service runs it. It talks with the harness on the serial line:
#   @@READY STEP LABEL       the harness reads GPFSEL0/1 through QEMU's monitor, then answers
#   @@RESULT STEP KEY VALUE  one fact; the value may be empty
#   @@END                    then it powers the board off
# lifecycle.py reads them once the board is done.
set -u
steps=$(sed -n 's/.*lifecycle\.steps=\([a-z,-]*\).*/\1/p' /proc/cmdline | tr , ' ')
unit=switchpinctrl.service
here=/boot/firmware/lifecycle
deb=$(echo $here/switchpinctrl_*_armel.deb)
deb_armhf=$(echo $here/switchpinctrl_*_armhf.deb)
log=/root/lifecycle.log

result() {
    key=$1
    shift
    echo "@@RESULT $step $key $*"
}
ready() {
    echo "@@READY $step $1"
    read -r _
}
unit_state() {
    for property in LoadState ActiveState Result ExecMainStatus ConditionResult; do
        result "$property" "$(systemctl show -p "$property" --value $unit)"
    done
}
# What the tool itself printed in this boot, its lines joined by " | ".
tool_lines() { result tool "$(journalctl -b -u $unit -t switchPinCtrl -o cat | sed ':a;N;s/\n/ | /;ba')"; }
failed_units() { result failed "$(systemctl list-units --failed --plain --no-legend | tr -s ' ' | tr '\n' ' ')"; }
unit_links() { result links "$(find /etc/systemd -name 'switchpinctrl*' | sort | tr '\n' ' ')"; }
helper_state() {
    result state "$(find /var/lib/systemd/deb-systemd-helper-enabled -name '*switchpinctrl*' | tr '\n' ' ')"
}
boot_times() {
    for at in ExecMainStartTimestampMonotonic ExecMainExitTimestampMonotonic; do
        result "$at" "$(systemctl show -p $at --value $unit)"
    done
    result sysinit "$(systemctl show -p ActiveEnterTimestampMonotonic --value sysinit.target)"
}

for step in $steps; do
    case $step in
    stock)
        ready before
        apt-get install -y -q "$deb" >>$log 2>&1
        result installed $?
        result enabled "$(systemctl is-enabled $unit)"
        result started "$(systemctl show -p ActiveState --value $unit)"
        systemctl enable --now $unit 2>>$log
        result enable $?
        ready after
        unit_state
        tool_lines
        failed_units
        unit_links
        helper_state
        result man "$(MANWIDTH=200 man -P cat switchPinCtrl 2>&1 | sed -n '/^NAME/{n;p;q}' | tr -s ' ')"
        ;;
    step)
        # The owner's step, as the README gives it.
        echo iomem=relaxed >/etc/default/raspi-extra-cmdline
        dpkg-reconfigure raspi-firmware >>$log 2>&1
        result reconfigured $?
        ;;
    first-boot)
        # The image a fleet bakes, booted for the first time, with no command typed.
        ready after
        unit_state
        tool_lines
        failed_units
        boot_times
        ;;
    reboot)
        ready after
        unit_state
        tool_lines
        failed_units
        boot_times
        ;;
    other-board)
        ready after
        result compatible "$(tr '\0' ' ' </proc/device-tree/compatible)"
        unit_state
        failed_units
        ;;
    upgrade)
        # Installing the same package again keeps the owner's choice, and the restart
        # that follows is skipped here too: the pins stay as they are.
        dpkg -i "$deb" >>$log 2>&1
        result reinstalled $?
        result enabled "$(systemctl is-enabled $unit)"
        ready after
        unit_state
        ;;
    use)
        # Another variant of the unit, for the next boots (unitcost.py).
        cp $here/switchpinctrl.service /etc/systemd/system/$unit
        result used $?
        ;;
    times)
        unit_state
        tool_lines
        boot_times
        for at in InactiveExitTimestampMonotonic ActiveEnterTimestampMonotonic; do
            result "$at" "$(systemctl show -p $at --value $unit)"
        done
        ;;
    spi)
        ready after
        unit_state
        tool_lines
        failed_units
        result why "$(systemctl status --no-pager -l $unit 2>&1 | grep -o 'SPI0 is enabled.*')"
        ;;
    remove)
        apt-get remove -y -q switchpinctrl >>$log 2>&1
        result removed $?
        result files "$(ls /usr/sbin/switchPinCtrl /lib/systemd/system/$unit 2>/dev/null)"
        unit_links
        ;;
    purge)
        ready after
        unit_state
        failed_units
        apt-get purge -y -q switchpinctrl >>$log 2>&1
        result purged $?
        result package "$(dpkg-query -W -f '${Status}' switchpinctrl 2>/dev/null)"
        unit_links
        helper_state
        ;;
    armhf)
        # The armhf package holds the same program: it installs once dpkg takes armhf.
        dpkg --add-architecture armhf
        apt-get install -y -q "$deb_armhf" >>$log 2>&1
        result installed $?
        result architecture "$(dpkg-query -W -f '${Architecture}' switchpinctrl)"
        systemctl start $unit
        result start $?
        ready after
        unit_state
        tool_lines
        ;;
    *)
        result unknown-step "$step"
        ;;
    esac
done
echo "@@END"
systemctl --no-block poweroff
