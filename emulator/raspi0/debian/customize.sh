#!/bin/sh
# SPDX-License-Identifier: MIT
# mmdebstrap's customize hook for the emulated board's Debian system: systemd as PID 1,
# udev and kmod, busybox, and man-db to read manual pages. Installed with the guest's
# own apt through the chroot stand-in, as mmdebstrap's --include would use the
# machine's chroot, which cannot run ARM programs here.
#   customize.sh ROOT
set -eu
root=$1
# systemd-tmpfiles crashes proot: a no-op while bootstrapping; the real one runs at boot.
chroot "$root" dpkg-divert --quiet --local --rename --add /bin/systemd-tmpfiles
ln -s /bin/true "$root/bin/systemd-tmpfiles"
# Indexing every manual page on each install takes minutes on an ARM1176; man finds
# pages without the index.
echo "man-db man-db/auto-update boolean false" | chroot "$root" debconf-set-selections
chroot "$root" apt-get install -y -q --no-install-recommends systemd systemd-sysv udev kmod busybox man-db
rm "$root/bin/systemd-tmpfiles"
chroot "$root" dpkg-divert --quiet --local --rename --remove /bin/systemd-tmpfiles
echo board >"$root/etc/hostname"
