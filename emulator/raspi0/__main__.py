# SPDX-License-Identifier: MIT
"""python3 -m raspi0 image CACHE OLDCALLS
      the emulated board's Debian system on its SD card, made if need be: its path

CACHE keeps what the board is made of; OLDCALLS is the helper that the Debian system is
made with."""
import sys

from .debian.image import image
from .host import Failure


def main(argv: list[str]) -> None:
    if len(argv) != 4 or argv[1] != "image":
        sys.exit("usage:\n" + __doc__)
    try:
        print(image(argv[2], argv[3]))
    except Failure as e:
        sys.exit("raspi0: %s" % e)


main(sys.argv)
