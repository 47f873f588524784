#!/bin/sh
# SPDX-License-Identifier: MIT
# Stands in for chroot(8) while the system image is made, on a machine without
# binfmt_misc: runs COMMAND in ROOT under proot, which starts every ARM program of
# the guest under qemu-user and fakes root there; statx and faccessat2 are hidden
# from both (see oldcalls.cpp). /proc is the machine's, as an image builder mounts it
# in the root for its hooks: raspi-firmware's scripts tell a chroot by it, and only
# skip their check of the /boot/firmware mount there. mmdebstrap, and the fleet's
# commands, find it first in PATH as "chroot".
#   chroot ROOT COMMAND [ARG...]      OLDCALLS names the helper
set -eu
root=$1
shift
# proot finds its loader through /proc/PID, by its own process id: in a pid namespace whose
# /proc is still the parent's (mmdebstrap's unshare mode), it needs a /proc of its own.
# The device files that an image builder gives its hooks, and no others: a root kept as a
# tarball has an empty /dev, and the guest has no business with the rest of this machine's.
set -- proot -q qemu-arm-static -0 -b /proc -b /dev/null -b /dev/zero -b /dev/full -b /dev/random \
    -b /dev/urandom -r "$root" "$@"
read -r pid _ </proc/self/stat
if [ "$pid" != $$ ]; then
    exec unshare --pid --fork --mount-proc "$OLDCALLS" "$@"
fi
exec "$OLDCALLS" "$@"
