# SPDX-License-Identifier: MIT
"""The emulated board's Debian system: Debian armel (the port for the Raspberry Pi 1 and
Zero; bookworm unless told otherwise) with systemd, dpkg and apt, on an SD card laid out as
Debian's own Raspberry Pi images are (card.sh), with the firmware partition that
raspi-firmware fills (mounted at /boot/firmware) and the ext4 root, found by its label
through Debian's initramfs. The board boots from the card and keeps its changes on it.

It is made from Debian's packages on this machine with mmdebstrap, in its unshare mode, so
an ordinary user with subordinate ids makes it as root does; the root is kept as a
tarball, with its owners, for the images made from it (fleet.py). binfmt_misc may be
missing here, so every program of the guest runs under proot and qemu-user instead
(chroot.sh), and bookworm's traps for that are worked around: proot translates neither
statx nor faccessat2 (oldcalls), the usrmerge package fails under qemu-user (the
merged-usr hook instead), and systemd-tmpfiles crashes proot (customize.sh). Kept under
the cache rule, keyed on its recipe's files and the archive."""
import os
import re

from ..cache import cached, sha256
from ..host import Failure, as_root, helper, run

HERE = os.path.dirname(os.path.abspath(__file__))
RELEASE = "bookworm"
MMDEBSTRAP = ["mmdebstrap", "--mode=unshare", "--skip=output/dev", "--skip=check/qemu", "--arch=armel", "--variant=apt",
              "--components=main,non-free-firmware",
              "--setup-hook=/usr/share/mmdebstrap/hooks/merged-usr/setup00.sh",
              # While the image is made, dpkg does not sync each file it writes: the card
              # is written whole at the end. customize.sh takes the setting out again.
              "--setup-hook=mkdir -p \"$1/etc/dpkg/dpkg.cfg.d\" && echo force-unsafe-io "
              ">\"$1/etc/dpkg/dpkg.cfg.d/image-making\"",
              "--aptopt=Acquire::Languages \"none\""]
# apt's word for a file that the archive's index lists and its server does not serve.
NOT_SERVED = re.compile(r"Failed to fetch (\S+)\s+404")


def debian_archive() -> str:
    """The Debian archive that apt on this machine already uses."""
    return helper("debian_archive").decode().strip()


# What the image is made from, besides the archive.
RECIPE = ["image.py", "customize.sh", "chroot.sh", "card.sh", "oldcalls.cpp"]


def recipe() -> dict[str, str]:
    """Every file that makes the image, by its sha256."""
    return {name: sha256(os.path.join(HERE, name)) for name in RECIPE}


def image(cache: str, oldcalls: str, release: str = RELEASE) -> str:
    """The path of the system's SD card image, made first if need be; its root, as a
    tarball (root.tar), lies beside it, for the images made from it (fleet.py)."""
    archive = debian_archive()
    folder = cached(os.path.join(cache, "system"), {"recipe": recipe(), "archive": archive, "release": release},
                    lambda folder: make(folder, archive, release, oldcalls))
    return os.path.join(folder, "sd.img")


def chroot_env(folder: str, oldcalls: str) -> dict[str, str]:
    """The environment in which `chroot` is the stand-in (chroot.sh)."""
    tools = os.path.join(folder, "bin")
    os.makedirs(tools, exist_ok=True)
    if not os.path.lexists(os.path.join(tools, "chroot")):
        os.symlink(os.path.join(HERE, "chroot.sh"), os.path.join(tools, "chroot"))
    return dict(os.environ, PATH=os.pathsep.join([tools, os.environ.get("PATH", os.defpath)]), OLDCALLS=oldcalls)


def make(folder: str, archive: str, release: str, oldcalls: str) -> None:
    env = chroot_env(folder, oldcalls)
    root = os.path.join(folder, "root.tar")
    customize = "--customize-hook=%s \"$1\"" % os.path.join(HERE, "customize.sh")
    try:
        run(*MMDEBSTRAP, customize, release, root, archive, env=env)
    except Failure as e:
        missing = NOT_SERVED.search(str(e))
        if missing:
            raise Failure("Debian %s cannot be made here: the index of %s lists %s, and the archive does not "
                          "serve it" % (release, archive, missing.group(1))) from e
        raise
    card(root, os.path.join(folder, "sd.img"), env)


def card(root: str, sd: str, env: dict[str, str] | None = None) -> None:
    """The SD card image `sd` of the root in the tarball `root` (card.sh), made as root."""
    run(*as_root("sh", os.path.join(HERE, "card.sh"), root, sd), env=env)
