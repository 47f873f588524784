#!/bin/busybox sh
# shellcheck shell=sh
# SPDX-License-Identifier: MIT
# /init of the initramfs that boots the Debian system from the SD card: loads ext4
# (/etc/modules lists the modules in load order), mounts the card as the root, hands the
# lifecycle's files to the system in /run, a tmpfs that systemd keeps, and switches to
# the system's own init.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
while read -r m; do
    insmod "/lib/modules/$m.ko"
done </etc/modules
i=0
while [ ! -b /dev/mmcblk0 ] && [ $i -lt 100 ]; do
    sleep 0.1
    i=$((i + 1))
done
mkdir /newroot
mount -t ext4 -o rw,noatime /dev/mmcblk0 /newroot
mount -t tmpfs -o mode=0755,nosuid,nodev run /newroot/run
mkdir -p /newroot/run/systemd/system
cp -a /lifecycle /newroot/run/lifecycle
cp /lifecycle/lifecycle.service /newroot/run/systemd/system/
umount /proc /sys /dev
exec switch_root /newroot /sbin/init
