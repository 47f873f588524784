#!/bin/sh
# SPDX-License-Identifier: MIT
# An SD card image of a system's root, laid out as Debian's own Raspberry Pi images are:
# a DOS partition table, the FAT firmware partition (4 MiB in, 256 MiB long) with the
# root's /boot/firmware, and the ext4 root, without loop devices: mtools fills the FAT and
# mke2fs the root, each at its partition's offset. Runs as root, or as root of a user
# namespace (host.as_root), so that the root's files keep their owners. With HOOK, a
# shell script, that script runs first in the folder HOOK_DIR, with ROOT the root, as an
# image builder's hook.
#   card.sh ROOT_TAR SD
set -eu
tar=$1
sd=$2
sector=512 fat_start=8192 fat_sectors=524288
root_start=$((fat_start + fat_sectors))
card_bytes=$((2 << 30)) # raspi0's SD card takes only a power of two

tree=$sd.root
rm -rf "$tree"
mkdir "$tree"
trap 'rm -rf "$tree"' EXIT
tar -x -p --numeric-owner --xattrs --xattrs-include='*' -f "$tar" -C "$tree"
# The bootstrap leaves /dev out; at boot the initramfs mounts the kernel's devtmpfs there.
[ -d "$tree/dev" ] || mkdir -m 0755 "$tree/dev"
if [ -n "${HOOK:-}" ]; then
    (cd "$HOOK_DIR" && ROOT=$tree sh -eu -c "$HOOK")
fi

rm -f "$sd"
truncate -s "$card_bytes" "$sd"
printf 'label: dos\n%d,%d,c\n%d,,83\n' "$fat_start" "$fat_sectors" "$root_start" | sfdisk --quiet "$sd"
mkfs.vfat -F 32 -s 1 -n RASPIFIRM --offset "$fat_start" "$sd" $((fat_sectors * sector / 1024)) >/dev/null
MTOOLS_SKIP_CHECK=1 mcopy -s -m -i "$sd@@$((fat_start * sector))" "$tree"/boot/firmware/* ::
# On the card, the root holds only the mount point.
find "$tree/boot/firmware" -mindepth 1 -delete
mke2fs -q -t ext4 -L RASPIROOT -E offset=$((root_start * sector)),nodiscard -d "$tree" "$sd" \
    $(((card_bytes - root_start * sector) / 1024))k
