# SPDX-License-Identifier: MIT
"""python3 -m raspi0 bench CACHE SIMBOARD TOOL EMPTY: the benchmark's medians.

CACHE keeps what the board is made of; SIMBOARD prints the SoC's map (simboard env)."""
import sys

from .bench import bench
from .host import Failure
from .soc import Soc


def main(argv):
    if len(argv) != 6 or argv[1] != "bench":
        sys.exit("usage: " + __doc__)
    try:
        times = bench(argv[2], Soc(argv[3]), argv[4], argv[5])
    except Failure as e:
        sys.exit("raspi0: %s" % e)
    print("guest time of one run (median of 5, microseconds), -icount shift=1,sleep=off:")
    for label, values in times.items():
        print("  %-14s %8d   (runs: %s)" % (label, sorted(values)[len(values) // 2], " ".join(map(str, values))))


main(sys.argv)
