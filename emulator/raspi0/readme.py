# SPDX-License-Identifier: MIT
"""The README as the owners' script: its fenced blocks, each named by the HTML comment
just before it, `<!-- WHERE: NAME -->`, where WHERE says who runs it: `board` (typed at
the board's console), `pc` (run on the building machine) or `example` (what the board
shows, compared with what it did show). The journeys record which blocks they ran, so
that a test can tell which of the owner's blocks no journey ran."""
import os
import re
from collections import namedtuple

from .host import Failure

PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "README.md")
# The sections that are not the owner's: their blocks are a contributor's. Every block of
# any other section must be run by a journey, however the sections are named.
CONTRIBUTORS_SECTIONS = ["On a PC"]
Block = namedtuple("Block", "where name section lines")
HEADING = re.compile(r"^#{2,3} (.*)$")
MARKER = re.compile(r"^\s*<!-- (board|pc|example): ([a-z0-9-]+) -->$")
FENCE = re.compile(r"^\s*```")


def parse(text: str) -> list[Block]:
    """Every fenced block of `text`: a Block, with where and name None where no marker
    names it, and its lines as written (indentation taken off)."""
    blocks, section, marker, inside, indent = list[Block](), None, None, None, 0
    for line in text.splitlines():
        if inside is not None:
            if FENCE.match(line):
                blocks.append(inside)
                inside = None
            else:
                inside.lines.append(line[indent:] if not line[:indent].strip() else line.lstrip())
            continue
        heading, named = HEADING.match(line), MARKER.match(line)
        if heading:
            section = heading.group(1)
        elif named:
            marker = named.groups()
            continue
        elif FENCE.match(line):
            indent = len(line) - len(line.lstrip())
            where, name = marker or (None, None)
            inside = Block(where, name, section, [])
        if line.strip():
            marker = None
    return blocks


class Readme:
    def __init__(self, path: str = PATH):
        with open(path) as f:
            self.blocks = parse(f.read())

    def block(self, where: str, name: str) -> list[str]:
        """The lines of the block named `name` for `where`."""
        found = [b for b in self.blocks if (b.where, b.name) == (where, name)]
        if len(found) != 1:
            raise Failure("README.md has %d blocks marked <!-- %s: %s -->, not one" % (len(found), where, name))
        return found[0].lines

    def commands(self, where: str, name: str) -> list[str]:
        """The block's commands: its lines but blank and comment-only ones."""
        return [line for line in self.block(where, name) if line.strip() and not line.lstrip().startswith("#")]

    def unused(self, used: set[tuple[str, str]]) -> list[tuple[str, str | None, str | None, str]]:
        """The owner's blocks that are not among `used`, a set of (where, name): (section,
        where, name, first line)."""
        return [(b.section, b.where, b.name, (b.lines or [""])[0])
                for b in self.blocks if b.section not in CONTRIBUTORS_SECTIONS and (b.where, b.name) not in used]


README = Readme()
