#!/bin/sh
# SPDX-License-Identifier: MIT
# mmdebstrap's customize hook for the emulated board's Debian system, laid out as Debian's
# own Raspberry Pi images are: systemd as PID 1, Debian's Raspberry Pi kernel with its
# initramfs, and raspi-firmware, whose hooks write the kernel, the initramfs, the device
# trees, config.txt and cmdline.txt to /boot/firmware, the card's FAT partition; root logs
# in on the console without a password, as on Debian's images; and what the package's
# build on the board needs, in place of the owner's apt-get, for the board has no network.
# Installed with the guest's own apt through the chroot stand-in, as mmdebstrap's
# --include would use the machine's chroot, which cannot run ARM programs here.
#   customize.sh ROOT
set -eu
root=$1
# systemd-tmpfiles crashes proot: a no-op while bootstrapping; the real one runs at boot.
chroot "$root" dpkg-divert --quiet --local --rename --add /bin/systemd-tmpfiles
ln -s /bin/true "$root/bin/systemd-tmpfiles"
# Indexing every manual page on each install takes minutes on an ARM1176; man finds
# pages without the index.
echo "man-db man-db/auto-update boolean false" | chroot "$root" debconf-set-selections

cat >"$root/etc/fstab" <<'FSTAB'
LABEL=RASPIROOT / ext4 rw 0 1
LABEL=RASPIFIRM /boot/firmware vfat rw 0 2
FSTAB
install="apt-get install -y -q --no-install-recommends"
# e2fsprogs and dosfstools give the initramfs and the boot their fsck tools; dbus, which
# systemd recommends, carries systemctl's requests from users who are not root;
# build-essential, cmake and debhelper are what apt-get build-dep installs for the package
# built on the board (build-essential always, and the Build-Depends of a native build).
# The kernel comes after: the firmware's hooks must be in place when its postinst runs them.
# shellcheck disable=SC2086
chroot "$root" $install systemd systemd-sysv udev kmod dbus busybox man-db e2fsprogs dosfstools \
    initramfs-tools raspi-firmware build-essential cmake debhelper

# Set in the packages' own configuration, as an owner would, before the kernel comes, so
# that its first initramfs is already the small one. Debian's default, MODULES=most,
# copies most of the kernel's modules, about one a second here; the emulated board needs
# only its SD card's controller and the root's file system. (MODULES=dep would look at
# this machine's disks.)
echo MODULES=list >"$root/etc/initramfs-tools/conf.d/modules"
printf 'ext4\nsdhci-iproc\n' >>"$root/etc/initramfs-tools/modules"
# As Debian's Raspberry Pi images set them: the root by its label, for the initramfs to
# find (looked up here, the hook would name this machine's disk), and the consoles.
printf 'ROOTPART=LABEL=RASPIROOT\nCONSOLES="tty0 ttyAMA0,115200"\n' >>"$root/etc/default/raspi-firmware"
# shellcheck disable=SC2086
chroot "$root" $install linux-image-rpi

rm "$root/bin/systemd-tmpfiles"
# Set by image.py while the image is made.
rm "$root/etc/dpkg/dpkg.cfg.d/image-making"
chroot "$root" dpkg-divert --quiet --local --rename --remove /bin/systemd-tmpfiles
echo board >"$root/etc/hostname"
# As Debian's installer writes it: the board knows its own name.
printf '127.0.0.1\tlocalhost\n127.0.1.1\tboard\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"
# As Debian's Raspberry Pi images (image-specs): root may log in on the console, where
# only someone at the board can type, with no password.
sed -i 's,^root:[^:]*:,root::,' "$root/etc/shadow"
