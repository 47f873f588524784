# SPDX-License-Identifier: MIT
"""How often the emulated board stalls: the stock system card booted `count` times, two
boards side by side as the journeys run them, each to root's prompt, one command and off,
every boot on a fresh copy of the card. A boot that goes quiet (console.Silent) is a
stall; any other failure ends the count."""
import os
import tempfile
from concurrent.futures import ThreadPoolExecutor

from . import provision
from .console import Silent
from .debian import image
from .host import run
from .lifecycle import LANES, boot
from .readme import README


def logged_in(owner):
    owner.login()
    return {"kernel": owner.type("uname -r")}


def stalls(cache, oldcalls, count):
    """Gives (boots, stalls, seconds of each boot that did not stall)."""
    system, emulator = image.image(cache, oldcalls), provision.emulator(cache)
    stalled, seconds = [], []
    with tempfile.TemporaryDirectory() as work:
        def one(n):
            card = os.path.join(work, "%d.img" % n)
            run("cp", "--sparse=always", system, card)
            try:
                seconds.append(boot(emulator, card, "debian", logged_in, README, os.path.join(work, str(n)), [])["seconds"])
            except Silent as e:
                stalled.append(str(e))
                print("boot %d stalled: %s" % (n, str(e).splitlines()[0]), flush=True)
            finally:
                os.unlink(card)

        with ThreadPoolExecutor(LANES) as pool:
            list(pool.map(one, range(count)))
    return count, stalled, seconds
