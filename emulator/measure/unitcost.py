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
from raspi0.owner import Owner, Unit
from raspi0.readme import README
from raspi0.soc import TOOL_LINE


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
    """The unit, sysinit.target, and the tool's line in the journal."""
    unit: Unit
    sysinit: Unit
    tool: str


def times(owner: Owner) -> Timed:
    owner.login()
    return Timed(unit=owner.unit(UNIT), sysinit=owner.unit("sysinit.target"),
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
        assert isinstance(seen, Timed)
        ran = seen.unit
        if ran.active != "active" or not re.match(TOOL_LINE, seen.tool):
            raise Failure("the unit of %s did not switch the pins: %s" % (variant, ran))
        samples[variant].append(Cost((ran.exec_exit - ran.exec_start) / 1e6,
                                     (ran.active_enter - ran.inactive_exit) / 1e6, ran.exec_exit / 1e6,
                                     seen.sysinit.active_enter / 1e6))
    return samples
