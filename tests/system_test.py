# SPDX-License-Identifier: MIT
"""The owners' journeys with the board's package, on a Debian system booted on the emulated
Pi Zero from its own card, typed at its console as the README gives them, in four chains of
boots: stock Debian, whose kernel refuses the tool, the owner's step and the boot after it,
removal and purge, the package built on the board and the boot after it; the image a fleet
bakes; the board that stands for Raspberry Pi OS, from install to purge; and the stock card
as a Raspberry Pi 2 and with SPI0 given to the kernel's driver. Judged from outside: what
the console showed, GPFSEL0/1 read through QEMU's monitor, the card. A boot that fails
fails the tests of its chain, and of the chains that continue its card, and no others."""
import re
from concurrent.futures import ThreadPoolExecutor

import pytest
from raspi0 import chains, provision
from raspi0.debian import image
from raspi0.debian.fleet import fleet_image, host_changes
from raspi0.journeys import CHAINS, UNIT
from raspi0.packages import MAKE, copy_tree, newer_version, pc_packages, release, upgrade_version
from raspi0.readme import README
from raspi0.soc import DEBIAN, RASPIOS, SPI_DRIVER, SWITCHED, TOOL_LINE

IN_JOURNAL = re.compile(r"switchPinCtrl\[\d+\]: %s$" % TOOL_LINE, re.M)
# The README's examples, and the boots whose output each shows, as (chain, boot).
EXAMPLES = {"status": [("debian", "after-step"), ("debian", "native")],
            "pins": [("debian", "stock"), ("raspios", "raspios"), ("debian", "after-step")]}
# The boots after which the unit ran at boot.
RAN_AT_BOOT = [("debian", "after-step"), ("debian", "native"), ("fleet", "first-boot"), ("raspios", "upgraded"),
               ("raspios", "purged")]


class Outcome:
    """The chains taken in this run (chains.Taken), the README's blocks run on this machine
    as the owner's PC, and what making the fleet's image changed on this machine."""

    def __init__(self, taken, blocks, changes):
        self.taken, self.blocks, self.host_changes, self.told = taken, blocks, changes, set()

    def chain(self, name):
        """The chain's boots, name -> record; or its first failure, in full for the first of
        its tests, and named for the rest."""
        failed = [b.name for b in CHAINS[name] if b.name in self.taken.failures]
        if failed and name in self.told:
            pytest.fail("the chain %s failed at the boot %s: its first test says why" % (name, failed[0]),
                        pytrace=False)
        if failed:
            self.told.add(name)
            pytest.fail(self.taken.failures[failed[0]], pytrace=False)
        return {b.name: self.taken.records[b.name] for b in CHAINS[name]}


@pytest.fixture(scope="session")
def outcome(option, request, tmp_path_factory):
    """Takes the chains that the tests of this run judge, and the boots whose cards they
    continue, all at once."""
    wanted = set()
    for item in request.session.items:
        params = item.callspec.params if hasattr(item, "callspec") else {}
        wanted |= {name for name in [*item.fixturenames, params.get("chain")] if name in CHAINS}
    steps = {b.name: b for chain in CHAINS.values() for b in chain}
    needed = [b.name for name in wanted for b in CHAINS[name]]
    for name in needed:
        if steps[name].card in steps and steps[name].card not in needed:
            needed.append(steps[name].card)
    source, cache, oldcalls = option("--source"), option("--board-cache"), option("--oldcalls")
    work = tmp_path_factory.mktemp("journeys")
    debs, blocks, dist = pc_packages(source, str(work), cache), {MAKE}, release(source)
    images = {"system": image.image(cache, oldcalls)}
    # The owner copies the release's package to the card, whatever the PC made.
    files = [*dist.values(), provision.prepare(cache).sudo]
    if "upgraded" in needed:
        older = next(deb for deb in debs if deb.endswith("_armhf.deb"))
        files.append(newer_version(source, str(work), cache, older))
    if "after-step" in needed:
        files.append(copy_tree(source, str(work / "switchPinCtrl")))
    with ThreadPoolExecutor(1) as making:
        if "first-boot" in needed:
            # Made while the first boots run: the fleet's boot comes late.
            images["fleet"] = making.submit(fleet_image, cache, oldcalls, dist["armel"])
            blocks.add(("pc", "fleet"))
        taken = chains.take(provision.emulator(cache), images, [steps[name] for name in steps if name in needed],
                            README, str(work), files)
    for name, boot in taken.records.items():
        print("the boot %s took %.1f s" % (name, boot.seconds))
    return Outcome(taken, blocks, host_changes(images["fleet"].result()) if "fleet" in images else None)


def chain_fixture(name):
    @pytest.fixture(name=name)
    def chain(outcome):
        return outcome.chain(name)
    return chain


raspios_chain, debian_chain, fleet_chain, elsewhere_chain = map(chain_fixture, CHAINS)


def lines_of(status, starts):
    """The lines of `systemctl status` output that tell the unit's state, without what
    changes from boot to boot."""
    found = []
    for line in status.splitlines():
        line = line.strip().lstrip("●*× ")
        if line.startswith(starts):
            found.append(re.sub(r" since .*|\d+", "N", line))
    return found


def test_stock_debian_refuses_the_tool(debian):
    """Installing enables nothing and runs nothing; enabling fails visibly with the tool's
    line, and the pins stay as the kernel left them."""
    stock = debian["stock"]
    assert stock.kernel == DEBIAN
    assert (stock.installed.regs, stock.installed.status, stock.installed.enabled) == (DEBIAN, 1, "disabled\n")
    assert "Created symlink /etc/systemd/system/sysinit.target.wants/%s" % UNIT in stock.enable
    assert stock.refused == DEBIAN
    assert "Active: failed (Result: exit-code)" in stock.status
    assert re.search(r"switchPinCtrl\[\d+\]: mmap error -1$", stock.status, re.M), stock.status
    assert "switchPinCtrl - hand GPIO 7 to 11 of a BCM2835 board to the SPI0 controller" in " ".join(stock.man.split())


def test_owner_step_reaches_the_kernel(debian):
    """The harness passes no iomem=: stock Debian boots without it, the step writes it into
    the card's cmdline.txt, and the next boots' kernels have it from there; undone, it
    leaves the card's cmdline.txt."""
    assert "iomem=" not in debian["stock"].cmdline
    assert "iomem=relaxed" in debian["stock"].cmdline_txt.split()
    for name in ("after-step", "native"):
        assert "iomem=relaxed" in debian[name].cmdline.split()
    assert "iomem=" not in debian["native"].cmdline_txt
    assert debian["after-step"].step_check == "iomem=relaxed\n"


@pytest.mark.parametrize("chain, name", EXAMPLES["status"])
def test_status_is_as_the_readme_shows_it(request, chain, name):
    """After the step, on Debian's tree as it is, with the PC's package and with the one
    built on the board: the unit has run, its status reads as the README's example, and the
    pins are exactly as the hog left them."""
    boot = request.getfixturevalue(chain)[name]
    example = "\n".join(README.block("example", "status"))
    shown = ("switchpinctrl.service -", "Loaded:", "Active:", "Docs:", "Process:", "Main PID:")
    assert lines_of(boot.status, shown) == lines_of(example, shown), boot.status
    assert IN_JOURNAL.search(boot.status) and IN_JOURNAL.search(example), boot.status
    assert boot.regs == DEBIAN


@pytest.mark.parametrize("chain, name", RAN_AT_BOOT)
def test_switched_before_the_owners_services(request, chain, name):
    """At boot the unit ran after PID 1 started, and had ended before basic.target, which
    every service with default dependencies waits for: an owner's program that drives SPI0
    finds the pins switched. Where the tree leaves GPIO 7-11 as inputs (Raspberry Pi OS's),
    QEMU's monitor, polling from outside, first saw them in alternate function 0 after the
    console told the unit's start, and before it told basic.target."""
    boot = request.getfixturevalue(chain)[name]
    times = boot.times
    assert times.pid1 < times.start < times.exit < times.basic, times
    if chain == "raspios":
        console, at = boot.console, boot.spi0_switched_at
        started, basic = console.find("Starting %s" % UNIT), console.find("Reached target basic.target")
        assert at is not None and 0 <= started < at < basic, (started, at, basic)


@pytest.mark.parametrize("name", ["after-step", "native"])
def test_remove_and_purge(debian, name):
    """Removal takes the files and keeps the owner's choice, the link that systemd ignores
    while the unit is gone; purge leaves no trace. The PC's package, and the board's."""
    removal = debian[name].removal
    assert removal.files.count("No such file or directory") == 2
    assert removal.links == "/etc/systemd/system/sysinit.target.wants/%s\n" % UNIT
    assert "no packages found matching switchpinctrl" in removal.left.dpkg and removal.left.files == ""


def test_fleet_first_boot(fleet, outcome):
    """The image a fleet baked: the unit has run at its first boot and nothing failed, and
    making it changed nothing of this machine's systemd."""
    first = fleet["first-boot"]
    assert "Active: active (exited)" in first.status and IN_JOURNAL.search(first.status)
    assert (first.failed, first.regs) == ("", DEBIAN)
    assert outcome.host_changes == []


def test_package_built_on_the_board(debian):
    """The README's build on the board makes the package with the board's own compiler and
    C library, and installs it without its debug symbols; it depends on the C library alone.
    Enabled in the boot that removed the PC's package, its unit runs at once; its tool
    switches the pins from inputs."""
    step, native = debian["after-step"], debian["native"]
    for line, seconds in zip(README.commands("board", "native-build"), step.took):
        print("on the board, %r took %.0f s" % (line, seconds))
    assert re.search(r"^Setting up switchpinctrl \(", step.build[-1], re.M) and "dbgsym" not in step.build[-1]
    assert "Created symlink /etc/systemd/system/sysinit.target.wants/%s" % UNIT in step.enable
    assert step.enabled == SWITCHED
    assert re.fullmatch(r"armel libc6 \(>= [^)]+\)", native.package), native.package
    assert native.seeded == RASPIOS and native.tool.regs == SWITCHED
    assert re.fullmatch(TOOL_LINE + "\n", native.tool.output), native.tool.output
    # Undone: the build's tools and the owner's copies are gone.
    assert "installed" not in native.build_tools.split(), native.build_tools
    assert native.copies.count("No such file or directory") == 3, native.copies


def test_raspios(raspios):
    """Raspberry Pi OS, from install to purge, with sudo: installing runs nothing until the
    unit is enabled, which switches the pins from inputs; after removal the next boot runs
    nothing and fails nothing, and the package installed again is enabled as before and
    runs nothing; the upgrade leaves the pins and the unit alone, and the next boot's new
    version switches them; purge leaves no trace."""
    pi, again, up, last = (raspios[name] for name in ("raspios", "reinstalled", "upgraded", "purged"))
    assert pi.spi_check == ""
    assert pi.regs == RASPIOS and (pi.installed.regs, pi.installed.status, pi.installed.enabled) == (
        RASPIOS, 1, "disabled\n")
    assert pi.enabled == SWITCHED and "Active: active (exited)" in pi.status and pi.arch == "armhf"
    assert (again.regs, again.unit) == (RASPIOS, {"LoadState": "not-found", "ActiveState": "inactive"})
    assert (again.failed, again.journal) == ("", "")
    assert (again.installed.regs, again.installed.status, again.installed.enabled) == (RASPIOS, 0, "enabled\n")
    assert up.regs == SWITCHED and IN_JOURNAL.search(up.journal) and up.before["ActiveState"] == "active"
    assert (up.upgraded, up.after) == (RASPIOS, up.before)
    assert last.regs == SWITCHED and IN_JOURNAL.search(last.journal) and last.version == upgrade_version()
    assert "no packages found matching switchpinctrl" in last.left.dpkg and last.left.files == ""


@pytest.mark.parametrize("name, says, regs", [
    ("pi-2", "Condition: start condition failed", RASPIOS),
    ("spi", "SPI0 is enabled in the device tree, so the kernel's SPI driver owns GPIO 7-11: leaving them alone",
     SPI_DRIVER)])
def test_unit_stands_aside(elsewhere, name, says, regs):
    """Not a BCM2835, or SPI0 given to the kernel's driver: the unit is inactive, not failed,
    says why, and the pins are as the kernel left them."""
    boot = elsewhere[name]
    assert boot.unit["ActiveState"] == "inactive" and boot.failed == ""
    assert says in boot.status and not IN_JOURNAL.search(boot.status)
    assert boot.regs == regs


def test_tool_refuses_on_a_pi_2(elsewhere):
    """Typed by root on a Raspberry Pi 2, whose kernel would let it map the addresses: the
    tool names the reason, ends with status 255 and writes nothing."""
    assert "iomem=relaxed" in elsewhere["pi-2"].cmdline.split()
    assert (elsewhere["pi-2"].tool.output, elsewhere["pi-2"].tool.regs) == ("not a BCM2835 board\n", RASPIOS)


@pytest.mark.parametrize("chain, name", EXAMPLES["pins"])
def test_pins_are_as_the_readme_shows_them(request, chain, name):
    """The kernel's pin table as the owner checks it, with GPIO 7-11 in alt0: on stock
    Debian from its hog, on Raspberry Pi OS once the unit has run, and once the package built
    on the board is enabled, from inputs."""
    assert request.getfixturevalue(chain)[name].pins == "\n".join(README.block("example", "pins")) + "\n"


def test_every_owner_block_is_run(outcome, raspios, debian, fleet, elsewhere):
    """Every named block of the README outside the contributors' section was typed or run by
    a journey, or is an example that a test here compares."""
    used = outcome.blocks | {("example", name) for name in EXAMPLES}
    for chain in (raspios, debian, fleet, elsewhere):
        used |= {block for boot in chain.values() for block in boot.blocks}
    assert README.unused(used) == []
