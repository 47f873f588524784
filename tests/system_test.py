# SPDX-License-Identifier: MIT
"""The owners' journeys with the board's package, on a Debian system booted on the emulated
Pi Zero from its own card, typed at its console as the README gives them, in chains of boots
(journeys.CHAINS), each boot declaring what its card needs and what it shows. Judged from
outside: what the console showed, GPFSEL0/1 read through QEMU's monitor, the card. A boot
that fails fails the tests of its chain, and of the chains that continue its card, and no
others. A test that asks a chain for a boot it has not fails when the tests are collected."""
import ast
import inspect
import re
import textwrap
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable

import pytest
from raspi0 import chains
from raspi0.chains import Booted, Chain
from raspi0.journeys import (CHAINS, UNIT, DebianChain, ElsewhereChain, FleetChain, RanAtBoot, RaspiosChain,
                             Removal)
from raspi0.packages import Making, upgrade_version
from raspi0.readme import README
from raspi0.soc import DEBIAN, RASPIOS, SPI_DRIVER, SWITCHED, TOOL_LINE

IN_JOURNAL = re.compile(r"switchPinCtrl\[\d+\]: %s$" % TOOL_LINE, re.M)
BY_NAME = {chain.name: chain for chain in CHAINS}


def boots(where: Callable[[chains.Boot], bool]) -> list[Any]:
    """(chain, boot) of each boot declared `where`, as pytest's parameters."""
    return [pytest.param(chain.name, boot.name, id="%s-%s" % (chain.name, boot.name))
            for chain in CHAINS for boot in chain.boots if where(boot)]


class Outcome:
    """The chains taken in this run (chains.Taken), the README's blocks run on this machine
    as the owner's PC, and what making the fleet's image changed on this machine."""

    def __init__(self, taken: chains.Taken, making: Making) -> None:
        self.taken, self.making, self.told = taken, making, set[str]()

    def chain(self, chain: Chain) -> Any:
        """The chain's record; or its first failure, in full for the first of its tests, and
        named for the rest."""
        failed = [b.name for b in chain.boots if b.name in self.taken.failures]
        if failed and chain.name in self.told:
            pytest.fail("the chain %s failed at the boot %s: its first test says why" % (chain.name, failed[0]),
                        pytrace=False)
        if failed:
            self.told.add(chain.name)
            pytest.fail(self.taken.failures[failed[0]], pytrace=False)
        return chain.record(**{b.name: self.taken.records[b.name] for b in chain.boots})


@pytest.fixture(scope="session")
def outcome(option: Callable[[str], str], request: pytest.FixtureRequest, tmp_path_factory: Any) -> Outcome:
    """Takes the chains that the tests of this run judge, and the boots whose cards they
    continue, all at once, with what the boots declare."""
    wanted = set()
    for item in request.session.items:
        params = item.callspec.params if hasattr(item, "callspec") else {}
        wanted |= {name for name in [*getattr(item, "fixturenames", []), params.get("chain")] if name in BY_NAME}
    steps = {b.name: b for chain in CHAINS for b in chain.boots}
    needed = [b for chain in CHAINS if chain.name in wanted for b in chain.boots]
    for b in needed:
        if b.card in steps and steps[b.card] not in needed:
            needed.append(steps[b.card])
    work = tmp_path_factory.mktemp("journeys")
    making = Making(option("--source"), str(work), option("--board-cache"), option("--oldcalls"))
    with ThreadPoolExecutor(1) as pool:
        images = making.images({b.card for b in needed if b.card not in steps}, pool)
        files = making.files({need for b in needed for need in b.needs})
        taken = chains.take(making.emulator, images, [b for b in steps.values() if b in needed], README, str(work),
                            files)
    for name, boot in taken.records.items():
        print("the boot %s took %.1f s" % (name, boot.seconds))
    return Outcome(taken, making)


def chain_fixture(chain: Chain) -> Any:
    @pytest.fixture(name=chain.name)
    def fixture(outcome: Outcome) -> Any:
        return outcome.chain(chain)
    return fixture


for each in CHAINS:
    globals()[each.name + "_chain"] = chain_fixture(each)


def lines_of(status: str, starts: tuple[str, ...]) -> list[str]:
    """The lines of `systemctl status` output that tell the unit's state, without what
    changes from boot to boot."""
    found = []
    for line in status.splitlines():
        line = line.strip().lstrip("●*× ")
        if line.startswith(starts):
            found.append(re.sub(r" since .*|\d+", "N", line))
    return found


def shows_status(boot: Any) -> None:
    example = "\n".join(README.block("example", "status"))
    shown = ("switchpinctrl.service -", "Loaded:", "Active:", "Docs:", "Process:", "Main PID:")
    assert lines_of(boot.at_boot.status, shown) == lines_of(example, shown), boot.at_boot.status
    assert IN_JOURNAL.search(boot.at_boot.status) and IN_JOURNAL.search(example), boot.at_boot.status


def shows_pins(boot: Any) -> None:
    assert boot.pins == "\n".join(README.block("example", "pins")) + "\n"


# How each README example is compared with a boot that shows it; the examples compared.
COMPARE = {"status": shows_status, "pins": shows_pins}
COMPARED = set[str]()


def compare(example: str, boot: Booted) -> None:
    COMPARE[example](boot)
    COMPARED.add(example)


def test_stock_debian_refuses_the_tool(debian: DebianChain) -> None:
    """Installing enables nothing and runs nothing; enabling fails visibly with the tool's
    line, and the pins stay as the kernel left them."""
    stock = debian.stock
    assert stock.kernel == DEBIAN
    assert (stock.installed.regs, stock.installed.status, stock.installed.enabled) == (DEBIAN, 1, "disabled\n")
    assert "Created symlink /etc/systemd/system/sysinit.target.wants/%s" % UNIT in stock.enable
    assert stock.refused == DEBIAN
    assert "Active: failed (Result: exit-code)" in stock.status
    assert re.search(r"switchPinCtrl\[\d+\]: mmap error -1$", stock.status, re.M), stock.status
    assert "switchPinCtrl - hand GPIO 7 to 11 of a BCM2835 board to the SPI0 controller" in " ".join(stock.man.split())


def test_owner_step_reaches_the_kernel(debian: DebianChain) -> None:
    """The step writes iomem=relaxed into the card's cmdline.txt, the next boots' kernels
    have it from there, and the owner's check shows it; undone, it leaves cmdline.txt."""
    assert "iomem=relaxed" in debian.stock.cmdline_txt.split()
    assert "iomem=relaxed" in debian.after_step.cmdline.split() and "iomem=relaxed" in debian.native.cmdline.split()
    assert debian.after_step.step_check == "iomem=relaxed\n"
    assert "iomem=" not in debian.native.cmdline_txt


@pytest.mark.parametrize("chain, boot", boots(lambda b: "status" in b.shows))
def test_status_is_as_the_readme_shows_it(request: pytest.FixtureRequest, chain: str, boot: str) -> None:
    """After the step, on Debian's tree as it is, with the release's package and with the
    one built on the board: the unit has run, its status reads as the README's example, and
    the pins are exactly as the hog left them."""
    seen = getattr(request.getfixturevalue(chain), boot)
    compare("status", seen)
    assert seen.at_boot.regs == DEBIAN


@pytest.mark.parametrize("chain, boot", boots(lambda b: b.ran_at_boot))
def test_switched_before_the_owners_services(request: pytest.FixtureRequest, chain: str, boot: str) -> None:
    """At boot the unit ran after PID 1 started, and had ended before basic.target, which
    every service with default dependencies waits for: an owner's program that drives SPI0
    finds the pins switched. On a watched boot, where the tree leaves GPIO 7-11 as inputs
    (Raspberry Pi OS's), QEMU's monitor, polling from outside, first saw them in alternate
    function 0 after the console told the unit's start, and before it told basic.target."""
    seen = getattr(request.getfixturevalue(chain), boot)
    assert isinstance(seen, RanAtBoot)
    times = seen.times
    assert times.pid1 < times.start < times.exit < times.basic, times
    if next(b for b in BY_NAME[chain].boots if b.name == boot).watch:
        console, at = seen.console, seen.spi0_switched_at
        started, basic = console.find("Starting %s" % UNIT), console.find("Reached target basic.target")
        assert at is not None and 0 <= started < at < basic, (started, at, basic)


def removed_and_purged(removal: Removal) -> None:
    """Removal takes the files and keeps the owner's choice, the link that systemd ignores
    while the unit is gone; purge leaves no trace."""
    assert removal.files.count("No such file or directory") == 2
    assert removal.links == "/etc/systemd/system/sysinit.target.wants/%s\n" % UNIT
    assert "no packages found matching switchpinctrl" in removal.left.dpkg and removal.left.files == ""


def test_remove_and_purge(debian: DebianChain) -> None:
    """Removal and purge of the release's package, and of the one built on the board."""
    removed_and_purged(debian.after_step.removal)
    removed_and_purged(debian.native.removal)


def test_fleet_first_boot(fleet: FleetChain, outcome: Outcome) -> None:
    """The image a fleet baked: the unit has run at its first boot and nothing failed, and
    making it changed nothing of this machine's systemd."""
    first = fleet.first_boot
    assert "Active: active (exited)" in first.at_boot.status and IN_JOURNAL.search(first.at_boot.status)
    assert (first.failed, first.at_boot.regs) == ("", DEBIAN)
    assert outcome.making.host_changes() == []


def test_package_built_on_the_board(debian: DebianChain) -> None:
    """The README's build on the board makes the package with the board's own compiler and
    C library, and installs it without its debug symbols; it depends on the C library alone.
    Enabled in the boot that removed the release's package, its unit runs at once; its tool
    switches the pins from inputs. Undone, the build's tools and the owner's copies go."""
    step, native = debian.after_step, debian.native
    for line in step.build:
        print("on the board, %r took %.0f s" % (line.command, line.seconds))
    installed = step.build[-1].output
    assert re.search(r"^Setting up switchpinctrl \(", installed, re.M) and "dbgsym" not in installed
    assert "Created symlink /etc/systemd/system/sysinit.target.wants/%s" % UNIT in step.enable
    assert step.enabled == SWITCHED
    assert re.fullmatch(r"armel libc6 \(>= [^)]+\)", native.package), native.package
    assert native.seeded == RASPIOS and native.tool.regs == SWITCHED
    assert re.fullmatch(TOOL_LINE + "\n", native.tool.output), native.tool.output
    assert "installed" not in native.build_tools.split(), native.build_tools
    assert native.copies.count("No such file or directory") == 3, native.copies


def test_raspios(raspios: RaspiosChain) -> None:
    """Raspberry Pi OS, from install to purge, with sudo: no dtparam=spi=on is found;
    installing runs nothing until the unit is enabled, which switches the pins from inputs;
    after removal the next boot runs nothing and fails nothing, and the package installed
    again is enabled as before and runs nothing; the upgrade leaves the pins and the unit
    alone, and the next boot's new version switches them; purge leaves no trace."""
    pi, again, up, last = raspios.raspios, raspios.reinstalled, raspios.upgraded, raspios.purged
    assert pi.spi_check == "" and pi.login.regs == RASPIOS
    assert (pi.installed.regs, pi.installed.status, pi.installed.enabled) == (RASPIOS, 1, "disabled\n")
    assert pi.enabled == SWITCHED and "Active: active (exited)" in pi.status and pi.arch == "armhf"
    assert (again.login.regs, again.login.unit.load, again.login.unit.active) == (RASPIOS, "not-found", "inactive")
    assert (again.login.failed, again.login.journal) == ("", "")
    assert (again.installed.regs, again.installed.status, again.installed.enabled) == (RASPIOS, 0, "enabled\n")
    assert up.login.regs == SWITCHED and IN_JOURNAL.search(up.login.journal) and up.before.active == "active"
    assert (up.upgraded, up.after) == (RASPIOS, up.before)
    assert last.login.regs == SWITCHED and IN_JOURNAL.search(last.login.journal) and last.version == upgrade_version()
    assert "no packages found matching switchpinctrl" in last.left.dpkg and last.left.files == ""


def stands_aside(seen: Any, says: str, regs: tuple[int, int]) -> None:
    assert seen.unit.active == "inactive" and seen.failed == ""
    assert says in seen.status and not IN_JOURNAL.search(seen.status)
    assert seen.regs == regs


def test_unit_stands_aside(elsewhere: ElsewhereChain) -> None:
    """Not a BCM2835, or SPI0 given to the kernel's driver: the unit is inactive, not failed,
    says why, and the pins are as the kernel left them."""
    stands_aside(elsewhere.pi_2, "Condition: start condition failed", RASPIOS)
    stands_aside(elsewhere.spi, "SPI0 is enabled in the device tree, so the kernel's SPI driver owns GPIO 7-11: "
                 "leaving them alone", SPI_DRIVER)


def test_tool_refuses_on_a_pi_2(elsewhere: ElsewhereChain) -> None:
    """Typed by root on a Raspberry Pi 2, whose kernel would let it map the addresses: the
    tool names the reason, ends with status 255 and writes nothing."""
    assert "iomem=relaxed" in elsewhere.pi_2.cmdline.split() and elsewhere.pi_2.tool is not None
    assert (elsewhere.pi_2.tool.output, elsewhere.pi_2.tool.regs) == ("not a BCM2835 board\n", RASPIOS)


@pytest.mark.parametrize("chain, boot", boots(lambda b: "pins" in b.shows))
def test_pins_are_as_the_readme_shows_them(request: pytest.FixtureRequest, chain: str, boot: str) -> None:
    """The kernel's pin table as the owner checks it, with GPIO 7-11 in alt0: on stock
    Debian from its hog, on Raspberry Pi OS once the unit has run, and once the package built
    on the board is enabled, from inputs."""
    compare("pins", getattr(request.getfixturevalue(chain), boot))


def test_every_owner_block_is_run(outcome: Outcome, raspios: RaspiosChain, debian: DebianChain, fleet: FleetChain,
                                  elsewhere: ElsewhereChain) -> None:
    """Every named block of the README outside the contributors' section was typed or run by
    a journey, or is an example compared with the boots that show it: by a test before this
    one, or here."""
    records = {"raspios": raspios, "debian": debian, "fleet": fleet, "elsewhere": elsewhere}
    for chain in CHAINS:
        for boot in chain.boots:
            for example in boot.shows - COMPARED:
                compare(example, getattr(records[chain.name], boot.name))
    # The PC's blocks that the boots declare they depend on were typed in making their cards.
    assert {("pc", name) for chain in CHAINS for boot in chain.boots for name in boot.pc} <= outcome.making.blocks
    used = outcome.making.blocks | {("example", name) for name in COMPARED}
    for record in records.values():
        used |= {block for seen in record for block in seen.blocks}
    assert README.unused(used) == []


def check_boot_names() -> None:
    """Every test that asks a chain's record for a boot names one of the chain's boots, and
    every example that a boot shows has a comparison: checked as the tests are collected."""
    for name, test in list(globals().items()):
        if not name.startswith("test_"):
            continue
        chained = set(inspect.signature(test).parameters) & set(BY_NAME)
        for node in ast.walk(ast.parse(textwrap.dedent(inspect.getsource(test)))):
            if isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name) and node.value.id in chained:
                if node.attr not in {b.name for b in BY_NAME[node.value.id].boots}:
                    raise NameError("%s asks the chain %s for the boot %s, which it has not"
                                    % (name, node.value.id, node.attr))
    for chain in CHAINS:
        for boot in chain.boots:
            if boot.shows - set(COMPARE):
                raise NameError("the boot %s shows %s, which no test compares" % (boot.name, boot.shows - set(COMPARE)))


check_boot_names()
