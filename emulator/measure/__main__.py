# SPDX-License-Identifier: MIT
"""python3 -m measure bench CACHE TOOL EMPTY
      the benchmark's medians: guest time of the tool, an empty program and a devmem script
python3 -m measure stalls CACHE OLDCALLS COUNT
      boots the stock system COUNT times, two side by side, and counts the boots that stalled
python3 -m measure unit-cost CACHE OLDCALLS DEB FOLDER...
      what each variant of the unit (FOLDER/switchpinctrl.service) costs at boot, median of 3

Run with PYTHONPATH=emulator. CACHE keeps what the board is made of (build/default/raspi0);
OLDCALLS is the helper that the Debian system is made with (build/default/emulator/raspi0/
oldcalls), DEB the armel package."""
import os
import statistics
import sys

from raspi0.host import Failure

from .bench import bench
from .stalls import stalls
from .unitcost import Cost, unit_cost


def main(argv: list[str]) -> None:
    try:
        if len(argv) == 5 and argv[1] == "bench":
            times = bench(argv[2], argv[3], argv[4])
            print("guest time of one run (median of 5, microseconds), -icount shift=1,sleep=off:")
            for label, values in times.items():
                print("  %-14s %8d   (runs: %s)" % (label, sorted(values)[len(values) // 2], " ".join(map(str, values))))
        elif len(argv) == 5 and argv[1] == "stalls":
            count, stalled, seconds = stalls(argv[2], argv[3], int(argv[4]))
            print("%d boots, %d stalled; the others took %.0f-%.0f s each"
                  % (count, len(stalled), min(seconds, default=0), max(seconds, default=0)))
        elif len(argv) >= 6 and argv[1] == "unit-cost":
            units = {os.path.basename(os.path.normpath(f)): os.path.join(f, "switchpinctrl.service") for f in argv[5:]}
            costs = unit_cost(argv[2], argv[3], argv[4], units)
            print("seconds, median of 3 boots: the unit's own run, its whole start, its run's end and sysinit.target")
            for name, runs in costs.items():
                print("  %-20s %6.3f %6.3f %7.2f %7.2f   (runs: %s)" % (
                    name, *Cost(*(statistics.median(c) for c in zip(*runs))), " ".join("%.3f" % r.run for r in runs)))
        else:
            sys.exit("usage:\n" + __doc__)
    except Failure as e:
        sys.exit("measure: %s" % e)


main(sys.argv)
