# SPDX-License-Identifier: MIT
"""The emulated board's Debian system: Debian 12 armel (the port for the Raspberry Pi
1 and Zero) with systemd as PID 1, dpkg and apt, on an SD card image that the board
boots from and keeps its changes on.

It is made from Debian's packages on this machine with mmdebstrap. binfmt_misc may be
missing here, so every program of the guest runs under proot and qemu-user instead
(image/chroot.sh), and bookworm's three traps for that are worked around: proot does
not translate statx (nostatx), the usrmerge package fails under qemu-user (the
merged-usr hook instead), and systemd-tmpfiles crashes proot (image/customize.sh).
Made once in CACHE/system, again only when the recipe changes."""
import hashlib
import os
import shutil
import tempfile

from commands import Failure, run

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
    """What the image is made from: the command and the scripts it runs."""
    digest = hashlib.sha256(repr(MMDEBSTRAP).encode())
    for script in ("chroot.sh", "customize.sh"):
        with open(os.path.join(HERE, "image", script), "rb") as f:
            digest.update(f.read())
    return digest.hexdigest()


def mounts_under(path):
    prefix = os.path.realpath(path) + "/"
    with open("/proc/self/mountinfo") as f:
        return [line.split()[4] for line in f if line.split()[4].startswith(prefix)]


def image(cache, nostatx):
    """The path of the system's SD image, made first if need be."""
    folder = os.path.join(cache, "system")
    sd = os.path.join(folder, "sd.img")
    stamp = os.path.join(folder, "recipe")
    want = recipe()
    if os.path.exists(sd) and os.path.exists(stamp) and open(stamp).read() == want:
        return sd
    if os.geteuid() != 0:
        raise Failure("making the system image takes root (mmdebstrap --mode=root): run the tests as root")
    os.makedirs(folder, exist_ok=True)
    work = tempfile.mkdtemp(dir=folder)
    try:
        tools = os.path.join(work, "bin")
        os.makedirs(tools)
        os.symlink(os.path.join(HERE, "image", "chroot.sh"), os.path.join(tools, "chroot"))
        # Root's tools (mke2fs among them) live in sbin, which a caller's PATH may lack.
        path = os.pathsep.join([tools, os.environ.get("PATH", os.defpath), "/usr/sbin", "/sbin"])
        env = dict(os.environ, PATH=path, NOSTATX=nostatx)
        root = os.path.join(work, "root")
        customize = "--customize-hook=%s \"$1\"" % os.path.join(HERE, "image", "customize.sh")
        run(*MMDEBSTRAP, customize, root, debian_archive(), env=env)
        made = os.path.join(work, "sd.img")
        with open(made, "wb") as f:
            f.truncate(IMAGE_BYTES)
        run("mke2fs", "-q", "-t", "ext4", "-L", "root", "-d", root, made, env=env)
        os.replace(made, sd)
        with open(stamp, "w") as f:
            f.write(want)
    finally:
        # A failed bootstrap may leave the guest's /proc or /dev mounted: never delete through those.
        left = mounts_under(work)
        if left:
            raise Failure("left mounted, not removed: %s" % " ".join(left))
        shutil.rmtree(work)
    return sd
