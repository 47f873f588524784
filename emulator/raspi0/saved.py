# SPDX-License-Identifier: MIT
"""A fresh card's board, saved just after root logged in at its console: the emulator's
whole state (QEMU's migration stream) and the card as it was then. A journey whose first
act is that login proves nothing about the boot before it, and could start from the
saved state (Boot.resume); none does yet, see journeys.BOOTS. QEMU restores a guest only on the same command line and on
the card as it was, so a state is kept with what it was saved from: what the card holds,
the board, the emulator and its command line. A state saved from any other card, or
for another board or emulator, is refused, and the boot is taken for real (and saved
again)."""
import hashlib
import json
import os
import shutil
import time

from .host import Failure, run

STATE, CARD, STAMP = "state", "card.img", "made-from.json"
# How long saving a state may take: the guest's memory, 512 MiB at most, to a file.
SAVE_TIMEOUT = 120


def card_digest(image, files=()):
    """The sha256 of what a card holds: the image's bytes, and the name and bytes of every
    file copied onto it (lifecycle.journeys), not the times that the copies were given."""
    digest = hashlib.sha256()
    for top in [image, *files]:
        found = [top] if os.path.isfile(top) else sorted(
            os.path.join(folder, name) for folder, _, names in os.walk(top) for name in names)
        for path in found:
            digest.update(os.path.relpath(path, os.path.dirname(top)).encode() + b"\0")
            with open(path, "rb") as f:
                for piece in iter(lambda: f.read(8 << 20), b""):
                    digest.update(piece)
    return digest.hexdigest()


def stamp(card_sha256, board, emulator, options):
    """What a state is saved from: what the card holds, the board, the emulator's bytes and its
    command line (Machine.options)."""
    with open(emulator, "rb") as f:
        emulator_sha256 = hashlib.sha256(f.read()).hexdigest()
    return {"card": card_sha256, "board": board, "emulator": emulator_sha256, "options": options}


def find(folder, wanted):
    """The state in `folder` if it was saved from exactly `wanted` (stamp()); None, saying
    why, where it was saved from something else."""
    try:
        with open(os.path.join(folder, STAMP)) as f:
            found = json.load(f)
    except FileNotFoundError:
        return None
    if found != wanted:
        differ = sorted(key for key in wanted.keys() | found.keys() if wanted.get(key) != found.get(key))
        print("the saved state in %s is refused: it was saved from another %s" % (folder, " and ".join(differ)))
        return None
    return os.path.join(folder, STATE)


def save(machine, card, folder, what):
    """Saves the running board of `machine`, whose card is `card`, into `folder` with the
    stamp `what`; the board then runs on. Written aside and moved into place once whole."""
    partial = folder + ".partial"
    shutil.rmtree(partial, ignore_errors=True)
    os.makedirs(partial)
    qmp = machine.qmp
    qmp.execute("migrate", uri="exec:cat > '%s'" % os.path.join(partial, STATE))
    deadline = time.monotonic() + SAVE_TIMEOUT
    while True:
        status = qmp.execute("query-migrate").get("status")
        if status == "completed":
            break
        if status in ("failed", "cancelled") or time.monotonic() > deadline:
            raise Failure("saving the board's state ended %s" % status)
        time.sleep(0.1)
    # The emulator has written the card out and paused the guest: the card is as the state.
    run("cp", "--sparse=always", card, os.path.join(partial, CARD))
    qmp.execute("cont")
    with open(os.path.join(partial, STAMP), "w") as f:
        json.dump(what, f, indent=1)
    shutil.rmtree(folder, ignore_errors=True)
    os.replace(partial, folder)
