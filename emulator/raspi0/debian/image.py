# SPDX-License-Identifier: MIT
"""The emulated board's Debian system: Debian 12 armel (the port for the Raspberry Pi
1 and Zero) with systemd as PID 1, dpkg and apt, on an SD card image that the board
boots from and keeps its changes on.

It is made from Debian's packages on this machine with mmdebstrap. binfmt_misc may be
missing here, so every program of the guest runs under proot and qemu-user instead
(chroot.sh), and bookworm's three traps for that are worked around: proot does not
translate statx (nostatx), the usrmerge package fails under qemu-user (the merged-usr
hook instead), and systemd-tmpfiles crashes proot (customize.sh). Kept under the cache
rule, keyed on this folder's files (the recipe) and the archive."""
import hashlib
import os

from ..cache import cached, remove
from ..host import Failure, run

HERE = os.path.dirname(os.path.abspath(__file__))
IMAGE_BYTES = 512 << 20  # raspi0's SD card takes only a power of two
MMDEBSTRAP = ["mmdebstrap", "--mode=root", "--skip=check/qemu", "--arch=armel", "--variant=apt",
              "--setup-hook=/usr/share/mmdebstrap/hooks/merged-usr/setup00.sh",
              "--aptopt=Acquire::Languages \"none\"", "bookworm"]


def debian_archive():
    """The Debian archive that apt on this machine already uses."""
    uris = run("apt-get", "indextargets", "--format", "$(REPO_URI)", "Origin: Debian", "Label: Debian").split()
    if not uris:
        raise Failure("apt's sources name no Debian archive to make the system from")
    return sorted(set(uris))[0].decode()


def recipe():
    """Every file that makes the image, by its sha256."""
    digests = {}
    for name in sorted(os.listdir(HERE)):
        if os.path.isfile(os.path.join(HERE, name)):
            with open(os.path.join(HERE, name), "rb") as f:
                digests[name] = hashlib.sha256(f.read()).hexdigest()
    return digests


def image(cache, nostatx):
    """The path of the system's SD image, made first if need be."""
    archive = debian_archive()
    folder = cached(os.path.join(cache, "system"), {"recipe": recipe(), "archive": archive},
                    lambda folder: make(folder, archive, nostatx))
    return os.path.join(folder, "sd.img")


def make(folder, archive, nostatx):
    if os.geteuid() != 0:
        raise Failure("making the system image takes root (mmdebstrap --mode=root): run the tests as root")
    tools = os.path.join(folder, "bin")
    os.makedirs(tools)
    os.symlink(os.path.join(HERE, "chroot.sh"), os.path.join(tools, "chroot"))
    # Root's tools (mke2fs among them) live in sbin, which a caller's PATH may lack.
    path = os.pathsep.join([tools, os.environ.get("PATH", os.defpath), "/usr/sbin", "/sbin"])
    env = dict(os.environ, PATH=path, NOSTATX=nostatx)
    root = os.path.join(folder, "root")
    customize = "--customize-hook=%s \"$1\"" % os.path.join(HERE, "customize.sh")
    run(*MMDEBSTRAP, customize, root, archive, env=env)
    sd = os.path.join(folder, "sd.img")
    with open(sd, "wb") as f:
        f.truncate(IMAGE_BYTES)
    run("mke2fs", "-q", "-t", "ext4", "-L", "root", "-d", root, sd, env=env)
    remove(root)
    remove(tools)
