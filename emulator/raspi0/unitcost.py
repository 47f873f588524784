# SPDX-License-Identifier: MIT
"""What a variant of the unit costs at boot on the emulated Pi Zero, against others on the
same machine: the card, as the owner's step leaves it, is copied once per variant and
given that variant's unit file at the console; then each variant boots `boots` times, two
boards side by side and the variants interleaved, and systemd's timestamps tell how long
the unit took. The emulator keeps no instruction-exact time here: compare variants of one
run only."""
import os
import shutil
import statistics
import tempfile

from . import provision
from .debian import image
from .host import Failure
from .journeys import UNIT, stock
from .lifecycle import Boot, journeys
from .readme import README

TIMES = ["ExecMainStartTimestampMonotonic", "ExecMainExitTimestampMonotonic",
         "InactiveExitTimestampMonotonic", "ActiveEnterTimestampMonotonic"]


def use(variant):
    def journey(owner):
        owner.login()
        owner.type("cp /boot/firmware/%s.service /etc/systemd/system/%s" % (variant, UNIT))
        return {}
    return journey


def times(owner):
    owner.login()
    seen = owner.show(UNIT, "ActiveState", *TIMES)
    seen["sysinit"] = owner.show("sysinit.target", "ActiveEnterTimestampMonotonic")["ActiveEnterTimestampMonotonic"]
    seen["tool"] = owner.type("journalctl -b -u %s -t switchPinCtrl -o cat" % UNIT)
    return seen


def unit_cost(cache, oldcalls, deb, units, boots=3):
    """units: variant -> path of its unit file. Gives variant -> the median over its boots
    of (the unit's own run, its whole start with ExecCondition, when its run ended, when
    sysinit.target was reached), in seconds from the kernel's start, and each boot's."""
    with tempfile.TemporaryDirectory() as work:
        files = [deb]
        for variant, unit in units.items():
            files.append(os.path.join(work, variant + ".service"))
            shutil.copy(unit, files[-1])
        plan = [Boot("base", "system", "debian", stock)]
        plan += [Boot("use-" + v, "base", "debian", use(v)) for v in units]
        order = [(n, v) for n in range(boots) for v in units]
        plan += [Boot("%s-%d" % (v, n), "use-" + v, "debian", times) for n, v in order]
        seen = journeys(provision.emulator(cache), {"system": image.image(cache, oldcalls)}, plan, README,
                        os.path.join(work, "boots"), files)
    samples = {variant: [] for variant in units}
    for n, variant in order:
        facts = seen["%s-%d" % (variant, n)]
        if facts["ActiveState"] != "active" or not facts["tool"].startswith("SPI mapped"):
            raise Failure("the unit of %s did not switch the pins: %s" % (variant, facts))
        t = [int(facts[key]) / 1e6 for key in TIMES + ["sysinit"]]
        samples[variant].append((t[1] - t[0], t[3] - t[2], t[1], t[4]))
    return {variant: (tuple(statistics.median(column) for column in zip(*runs)), runs)
            for variant, runs in samples.items()}
