# SPDX-License-Identifier: MIT
"""How often the emulated board stalls: the stock system card booted `count` times, two
boards side by side as the journeys run them, each to root's prompt, one command and off,
every boot on a fresh copy of the card. A boot that goes quiet (console.Silent) is a
stall; any other failure ends the count."""
import os
import tempfile
from concurrent.futures import ThreadPoolExecutor

from raspi0 import provision
from raspi0.chains import LANES, Boot, Booted, boot
from raspi0.console import Silent
from raspi0.debian import image
from raspi0.host import run
from raspi0.owner import Owner
from raspi0.readme import README


def logged_in(owner: Owner) -> Booted:
    owner.login()
    owner.type("uname -r")
    return Booted()


def stalls(cache: str, oldcalls: str, count: int) -> tuple[int, list[str], list[float]]:
    """Gives (boots, stalls, seconds of each boot that did not stall)."""
    system, emulator = image.image(cache, oldcalls), provision.emulator(cache)
    stalled, seconds = list[str](), list[float]()
    with tempfile.TemporaryDirectory() as work:
        def one(n: int) -> None:
            card = os.path.join(work, "%d.img" % n)
            run("cp", "--sparse=always", system, card)
            try:
                step = Boot("stall-%d" % n, "system", "debian", logged_in)
                seconds.append(boot(emulator, card, step, README, os.path.join(work, str(n)), []).seconds)
            except Silent as e:
                stalled.append(str(e))
                print("boot %d stalled: %s" % (n, str(e).splitlines()[0]), flush=True)
            finally:
                os.unlink(card)

        with ThreadPoolExecutor(LANES) as pool:
            list(pool.map(one, range(count)))
    return count, stalled, seconds
