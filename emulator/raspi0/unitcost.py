# SPDX-License-Identifier: MIT
"""What a variant of the unit costs at boot on the emulated Pi Zero, against others on the
same machine: the card, as the owner's step leaves it, is copied once per variant and
given that variant's unit file; then each variant boots `boots` times, two boards side by
side and the variants interleaved, and systemd's timestamps tell how long the unit took.
The emulator keeps no instruction-exact time here: compare variants of one run only."""
import os
import statistics
import tempfile
from concurrent.futures import ThreadPoolExecutor

from . import provision
from .debian import image
from .host import Failure, run
from .lifecycle import boot

TIMES = ["ExecMainStartTimestampMonotonic", "ExecMainExitTimestampMonotonic",
         "InactiveExitTimestampMonotonic", "ActiveEnterTimestampMonotonic", "sysinit"]


def unit_cost(cache, soc, oldcalls, deb, units, boots=3):
    """units: variant -> path of its unit file. Gives variant -> the median over its boots
    of (the unit's own run, its whole start with ExecCondition, when its run ended, when
    sysinit.target was reached), in seconds from the kernel's start, and each boot's."""
    emulator = provision.emulator(cache)
    system = image.image(cache, oldcalls)
    with tempfile.TemporaryDirectory() as work, ThreadPoolExecutor(2) as pool:
        base = os.path.join(work, "base.img")
        run("cp", "--sparse=always", system, base)
        boot(soc, emulator, work, base, "pi-zero", ["stock", "step"], [deb])
        cards = {}
        for variant, unit in units.items():
            cards[variant] = os.path.join(work, variant + ".img")
            run("cp", "--sparse=always", base, cards[variant])
        list(pool.map(lambda v: boot(soc, emulator, work, cards[v], "pi-zero", ["use"], [deb], [units[v]], "use-" + v),
                      units))
        order = [(n, variant) for n in range(boots) for variant in units]
        found = pool.map(lambda nv: boot(soc, emulator, work, cards[nv[1]], "pi-zero", ["times"], [deb], (),
                                         "%s-%d" % (nv[1], nv[0]))["times"].facts, order)
        samples = {variant: [] for variant in units}
        for (_, variant), facts in zip(order, found):
            if facts.get("ActiveState") != "active" or not facts.get("tool", "").startswith("SPI mapped"):
                raise Failure("the unit of %s did not switch the pins: %s" % (variant, facts))
            t = [int(facts[key]) / 1e6 for key in TIMES]
            samples[variant].append((t[1] - t[0], t[3] - t[2], t[1], t[4]))
    return {variant: (tuple(statistics.median(column) for column in zip(*runs)), runs)
            for variant, runs in samples.items()}
