# SPDX-License-Identifier: MIT
"""The harness's one cache rule: an artefact is kept in its own folder together with
what it was made from, and made again when any of that changes."""
import hashlib
import json
import os
import shutil
from collections.abc import Callable, Mapping

from .host import Failure

STAMP = "made-from.json"


def cached(folder: str, inputs: Mapping[str, object], make: Callable[[str], object]) -> str:
    """`folder`, made by make(path) unless it was made from exactly `inputs`: a dict of
    everything the artefact depends on (package versions, hashes of files, recipes).
    make() works in a fresh folder that takes the place of the old one only once it
    has succeeded, so a failure leaves no half-made artefact behind."""
    stamp = json.dumps(inputs, sort_keys=True, indent=1) + "\n"
    try:
        with open(os.path.join(folder, STAMP)) as f:
            if f.read() == stamp:
                return folder
    except FileNotFoundError:
        pass
    partial = folder + ".partial"
    remove(partial)
    os.makedirs(partial)
    make(partial)
    with open(os.path.join(partial, STAMP), "w") as f:
        f.write(stamp)
    remove(folder)
    os.replace(partial, folder)
    return folder


def sha256(path: str) -> str:
    """The sha256 of the file at `path`, in hex."""
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(1 << 20), b""):
            digest.update(piece)
    return digest.hexdigest()


def remove(path: str) -> None:
    """Removes a folder, but never through a file system still mounted in it, such as
    a guest's /proc or /dev that a failed bootstrap left behind."""
    prefix = os.path.realpath(path) + "/"
    with open("/proc/self/mountinfo") as f:
        left = [line.split()[4] for line in f if line.split()[4].startswith(prefix)]
    if left:
        raise Failure("left mounted, not removed: %s" % " ".join(left))
    shutil.rmtree(path, ignore_errors=True)
