# SPDX-License-Identifier: MIT
"""The image a fleet bakes: the emulated board's Debian system with the package installed
while the image is made, by exactly the commands of the README's "For fleets" section, as
an image builder's hook runs them (card.sh): in the image's root, with no systemd running there,
and the unit enabled offline. Made from the system's root, under the cache rule, keyed
on that system, the commands and the package. Installing into the image must change
nothing of this machine's systemd: its state before and after is compared."""
import json
import os
import shutil

from ..cache import STAMP, cached, sha256
from ..readme import README
from .image import card, chroot_env, image

HOST_SYSTEMD = ["/etc/systemd", "/var/lib/systemd"]
BLOCK = ("pc", "fleet")  # the README's block that the hook runs


def hook() -> str:
    """The shell commands of the README's "For fleets" section."""
    return "\n".join(README.block(*BLOCK)) + "\n"


def fleet_image(cache: str, oldcalls: str, deb: str) -> str:
    """The fleet's SD card image; what its making changed on this machine lies beside it
    (host_changes)."""
    system = os.path.dirname(image(cache, oldcalls))
    with open(os.path.join(system, STAMP)) as f:
        inputs = {"system": json.load(f), "hook": hook(), "package": sha256(deb)}
    folder = cached(os.path.join(cache, "fleet"), inputs, lambda folder: make(folder, system, oldcalls, deb))
    return os.path.join(folder, "sd.img")


def host_changes(sd: str) -> list[str]:
    """What making the fleet's image `sd` changed of this machine's systemd: a list of paths."""
    with open(os.path.join(os.path.dirname(sd), "host-changes.json")) as f:
        return json.load(f)


def make(folder: str, system: str, oldcalls: str, deb: str) -> None:
    env = chroot_env(folder, oldcalls)
    debs = os.path.join(folder, "debs")
    os.makedirs(debs)
    shutil.copy(deb, debs)
    before = host_systemd()
    card(os.path.join(system, "root.tar"), os.path.join(folder, "sd.img"), dict(env, HOOK=hook(), HOOK_DIR=debs))
    after = host_systemd()
    changed = sorted(path for path in before.keys() | after.keys() if before.get(path) != after.get(path))
    with open(os.path.join(folder, "host-changes.json"), "w") as f:
        json.dump(changed, f)


def host_systemd() -> dict[str, str]:
    """This machine's systemd configuration and state: path -> what it is. A folder that this
    user may not read is one entry, and a file is told by its size and time instead."""
    found = {}
    for top in HOST_SYSTEMD:
        for folder, dirs, files in os.walk(top):
            for name in dirs + files:
                path = os.path.join(folder, name)
                if os.path.islink(path):
                    found[path] = "-> " + os.readlink(path)
                elif os.path.isfile(path):
                    try:
                        found[path] = sha256(path)
                    except PermissionError:  # root's alone, such as systemd's random seed
                        info = os.stat(path)
                        found[path] = "unreadable, %d bytes, changed at %d" % (info.st_size, info.st_mtime_ns)
                else:
                    found[path] = "folder"
    return found
