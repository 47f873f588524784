# SPDX-License-Identifier: MIT
"""Boots of the emulated board's Debian system, each from its own card as the Raspberry Pi's
firmware boots it (firmware.py), with the owner at the console taking a journey (owner.py);
and chains of them, where a boot continues on the card that an earlier one left. A boot
is judged from outside: what the console showed, GPFSEL0/1 read through QEMU's monitor,
and the card's files once the board is off."""
import dataclasses
import enum
import os
import time
from collections.abc import Callable, Mapping, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from dataclasses import dataclass
from typing import Any

from . import firmware
from .host import Failure, run
from .machine import SPI0_SWITCHED, Machine
from .owner import Owner
from .readme import Readme

LANES = 2  # boards side by side: this machine's two cores


class Need(enum.Enum):
    """What a boot's card may need on its FAT partition, as the owner copied it there."""
    RELEASE = "the release's packages, from dist/"
    NEWER = "the newer package that the README's upgrade installs"
    TREE = "a copy of this repository's files"
    SUDO = "Debian's sudo, for the board that stands for Raspberry Pi OS"


@dataclass(frozen=True, kw_only=True)
class Booted:
    """What every boot shows, whatever its journey: the kernel's command line, the card's
    cmdline.txt once the board was off, how long the boot took here, in seconds, the
    console's text, where in it GPIO 7-11 were first seen in alternate function 0 while
    the board booted (None: not before the login, or not watched), and the README's blocks typed, as
    (where, name). Each journey's record adds what it saw."""
    cmdline: str = ""
    cmdline_txt: str = ""
    seconds: float = 0.0
    console: str = ""
    spi0_switched_at: int | None = None
    blocks: frozenset[tuple[str, str]] = frozenset()


@dataclass(frozen=True)
class Boot:
    """One boot: `journey(owner)` at `board` (standin.BOARDS), on a copy of the card that
    `card` names: an image's, or what the earlier boot of that name left. It declares what
    its card `needs`, the owner's PC blocks (`pc`) that made what its card holds, whether
    GPFSEL0/1 are polled from outside while it boots (`watch`, Machine), the README's
    examples that its output `shows`, and whether the unit must have run at its boot."""
    name: str
    card: str
    board: str
    journey: Callable[[Owner], Booted]
    needs: frozenset[Need] = frozenset()
    pc: frozenset[str] = frozenset()
    watch: bool = False
    shows: frozenset[str] = frozenset()
    ran_at_boot: bool = False


@dataclass(frozen=True)
class Chain:
    """Boots that continue one card, in order, and the type of their record: a named tuple
    with one field per boot, named as the boot."""
    name: str
    record: Any
    boots: Sequence[Boot]

    def __post_init__(self) -> None:
        if list(self.record._fields) != [b.name for b in self.boots]:
            raise Failure("the chain %s's record has the fields %s, not its boots" % (self.name, self.record._fields))


def boot(emulator: str, card: str, step: Boot, readme: Readme, work: str, machines: list[Machine],
         last: bool = False) -> Booted:
    """Boots the system from `card` as the Boot `step` says, and has the owner take its
    journey; gives its record, filled in (Booted). The owner powers the board off unless
    the journey did, or, where no later boot takes the card (`last`), pulls its plug.
    `machines` lists the running boards, for the caller to stop."""
    os.makedirs(work, exist_ok=True)
    kernel, initrd, tree, cmdline = firmware.boot_files(card, work, step.board)
    started = time.monotonic()
    with Machine(emulator, kernel, tree, cmdline, work, initrd,
                 ["-drive", "file=%s,if=sd,format=raw,cache=unsafe" % card], watch=step.watch) as machine:
        machines.append(machine)
        owner = Owner(machine, readme)
        seen = step.journey(owner)
        if last:
            machine.process.kill()
        elif not owner.off:
            owner.type(owner.sudo() + "poweroff")
    return dataclasses.replace(seen, cmdline=cmdline,
                               cmdline_txt=firmware.read(card, "cmdline.txt").strip(),
                               seconds=time.monotonic() - started, console=machine.console.text,
                               spi0_switched_at=machine.console.marks.get(SPI0_SWITCHED),
                               blocks=frozenset(owner.blocks))


@dataclass
class Taken:
    """What a run of chains gave: boot name -> its record, and boot name -> why it failed,
    for each boot that failed or whose card came from one that did."""
    records: dict[str, Booted]
    failures: dict[str, str]


def take(emulator: str, images: Mapping[str, "str | Future[str]"], boots: Sequence[Boot], readme: Readme,
         work: str, files: Sequence[str] = ()) -> Taken:
    """Takes every boot of `boots`, in order as far as their cards allow, LANES at a time.
    `images`: name -> a card image, which each boot copies, or a Future of one, still being
    made, that the first boot on it waits for; `files` go onto every image's FAT partition
    first. A boot that fails takes with it the boots that would continue its card, and no
    other."""
    os.makedirs(work, exist_ok=True)
    if {b.name for b in boots} & set(images):
        raise Failure("boots and images share names: %s" % " ".join({b.name for b in boots} & set(images)))
    cards: dict[str, str] = {}
    taken, machines = Taken({}, {}), list[Machine]()

    def card_of(name: str) -> str:
        """The card of the image or boot `name`: an image's is copied, with `files`, when
        first asked for."""
        if name not in cards:
            made = images[name]
            image = made.result() if isinstance(made, Future) else made
            cards[name] = os.path.join(work, "image-%s.img" % name)
            run("cp", "--sparse=always", image, cards[name])
            for path in files:
                firmware.put(cards[name], path)
        return cards[name]

    pending, running, continued = list(boots), dict[Future[Booted], Boot](), {b.card for b in boots}
    with ThreadPoolExecutor(LANES) as pool:
        try:
            while pending or running:
                for b in [b for b in pending if b.card in taken.failures]:
                    pending.remove(b)
                    taken.failures[b.name] = "its card comes from the boot %s, which failed:\n%s" % (
                        b.card, taken.failures[b.card])
                # A boot's card is ready once the boot it continues has ended.
                for b in [b for b in pending if b.card in images or b.card in taken.records][:LANES - len(running)]:
                    pending.remove(b)
                    try:
                        source = card_of(b.card)
                    except Failure as e:
                        taken.failures[b.name] = "its card, of the image %s, could not be made: %s" % (b.card, e)
                        continue
                    cards[b.name] = os.path.join(work, b.name + ".img")
                    run("cp", "--sparse=always", source, cards[b.name])
                    running[pool.submit(boot, emulator, cards[b.name], b, readme, os.path.join(work, b.name),
                                        machines, b.name not in continued)] = b
                if not running:
                    # Those whose card's boot failed are told so at the top of the loop.
                    stuck = [b.name for b in pending if b.card not in taken.failures]
                    if stuck:
                        raise Failure("no card for %s" % ", ".join(stuck))
                    continue
                done, _ = wait(running, return_when=FIRST_COMPLETED)
                for future in done:
                    b = running.pop(future)
                    try:
                        taken.records[b.name] = future.result()
                    except Failure as e:
                        taken.failures[b.name] = "the boot %s failed: %s" % (b.name, e)
                        print(taken.failures[b.name], flush=True)
        except BaseException:
            for machine in machines:
                machine.process.kill()
            raise
        finally:
            # A card is 2 GiB, sparse, and a run leaves a dozen: what they showed is in the records.
            for card in cards.values():
                if os.path.exists(card):
                    os.unlink(card)
    return taken
