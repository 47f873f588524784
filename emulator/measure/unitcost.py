# SPDX-License-Identifier: MIT
"""What a variant of the unit costs at boot on the emulated Pi Zero, against others on the
same machine: the card, as the owner's step leaves it, is copied once per variant and
given that variant's unit file at the console; then each variant boots `boots` times, two
boards side by side and the variants interleaved, and systemd's timestamps tell how long
the unit took. The emulator keeps no instruction-exact time here: compare variants of one
run only."""
import os
import re
import shutil
import tempfile
from collections.abc import Callable
from dataclasses import dataclass
from typing import NamedTuple

from raspi0 import provision
from raspi0.chains import Boot, Booted, take
from raspi0.debian import image
from raspi0.host import Failure
from raspi0.journeys import UNIT, stock
from raspi0.owner import Owner
from raspi0.readme import README
from raspi0.soc import TOOL_LINE

TIMES = ["ExecMainStartTimestampMonotonic", "ExecMainExitTimestampMonotonic",
         "InactiveExitTimestampMonotonic", "ActiveEnterTimestampMonotonic"]


def use(variant: str) -> Callable[[Owner], Booted]:
    def journey(owner: Owner) -> Booted:
        owner.login()
        owner.type("cp /boot/firmware/%s.service /etc/systemd/system/%s" % (variant, UNIT))
        return Booted()
    return journey


# Seconds: the unit's own run, its whole start, and from the kernel's start its end and sysinit.target's.
Cost = NamedTuple("Cost", [("run", float), ("start", float), ("ended", float), ("sysinit", float)])


@dataclass(frozen=True, kw_only=True)
class Timed(Booted):
    """The unit's state and TIMES, sysinit.target's, and the tool's line in the journal."""
    facts: dict[str, str]
    sysinit: str
    tool: str


def times(owner: Owner) -> Timed:
    owner.login()
    return Timed(facts=owner.show(UNIT, "ActiveState", *TIMES),
                 sysinit=owner.show("sysinit.target", "ActiveEnterTimestampMonotonic")["ActiveEnterTimestampMonotonic"],
                 tool=owner.type("journalctl -b -u %s -t switchPinCtrl -o cat" % UNIT))


def unit_cost(cache: str, oldcalls: str, deb: str, units: dict[str, str], boots: int = 3) -> dict[str, list[Cost]]:
    """units: variant -> path of its unit file. Gives variant -> the Cost of each of its boots."""
    with tempfile.TemporaryDirectory() as work:
        files = [deb]
        for variant, unit in units.items():
            files.append(os.path.join(work, variant + ".service"))
            shutil.copy(unit, files[-1])
        plan = [Boot("base", "system", "debian", stock)]
        plan += [Boot("use-" + v, "base", "debian", use(v)) for v in units]
        order = [(n, v) for n in range(boots) for v in units]
        plan += [Boot("%s-%d" % (v, n), "use-" + v, "debian", times) for n, v in order]
        taken = take(provision.emulator(cache), {"system": image.image(cache, oldcalls)}, plan, README,
                     os.path.join(work, "boots"), files)
    if taken.failures:
        raise Failure("\n".join(taken.failures.values()))
    samples: dict[str, list[Cost]] = {variant: [] for variant in units}
    for n, variant in order:
        seen = taken.records["%s-%d" % (variant, n)]
        if seen.facts["ActiveState"] != "active" or not re.match(TOOL_LINE, seen.tool):
            raise Failure("the unit of %s did not switch the pins: %s" % (variant, seen.facts))
        t = [int(seen.facts[key]) / 1e6 for key in TIMES] + [int(seen.sysinit) / 1e6]
        samples[variant].append(Cost(t[1] - t[0], t[3] - t[2], t[1], t[4]))
    return samples
