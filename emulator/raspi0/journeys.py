# SPDX-License-Identifier: MIT
"""What the owners type on the emulated board's Debian system, boot after boot, the README's
own blocks among it, and what each journey saw, as a record for the tests to judge. The
boots form chains (CHAINS): each continues on the card that the one before it left, and
each declares what its card needs and what its output shows (chains.Boot)."""
from dataclasses import dataclass
from typing import NamedTuple

from . import standin
from .chains import Boot, Booted, Chain, Need
from .owner import Owner, Ran, Unit
from .soc import RASPIOS

UNIT = "switchpinctrl.service"
# How long each line of the package's build on the board may take: dpkg-buildpackage
# takes about 4 minutes on the emulated Pi Zero, where the console's other commands take
# seconds; a slower machine running the emulator may take a few times that.
BUILD_TIMEOUT = 1200
Regs = tuple[int, int]  # GPFSEL0/1


# When, in µs of the board's monotonic clock, PID 1 started, the tool started and ended, and
# basic.target was reached.
UnitTimes = NamedTuple("UnitTimes", [("pid1", int), ("start", int), ("exit", int), ("basic", int)])
# What purge must leave of the package: dpkg's answer when asked for it, and the unit's
# files, systemd's links and deb-systemd-helper's state still found.
Trace = NamedTuple("Trace", [("dpkg", str), ("files", str)])
# After removal: what `ls` said of the tool and the unit, the links left; what purge left.
Removal = NamedTuple("Removal", [("files", str), ("links", str), ("left", Trace)])
# Just after the package was installed: GPFSEL0/1, and `systemctl is-enabled`'s answer.
Installed = NamedTuple("Installed", [("regs", Regs), ("status", int), ("enabled", str)])
# The tool typed by root: what it printed, and GPFSEL0/1 after it.
Typed = NamedTuple("Typed", [("output", str), ("regs", Regs)])
# After a boot with the unit enabled: GPFSEL0/1, and what the README's status block printed.
AtBoot = NamedTuple("AtBoot", [("regs", Regs), ("status", str)])
# Raspberry Pi OS's user's login: GPFSEL0/1, the unit, the failed units, the unit's journal.
Login = NamedTuple("Login", [("regs", Regs), ("unit", Unit), ("failed", str), ("journal", str)])


@dataclass(frozen=True, kw_only=True)
class RanAtBoot(Booted):
    """A boot after which the unit must have run: when it did."""
    times: UnitTimes


def unit_times(owner: Owner) -> UnitTimes:
    unit, basic = owner.unit(UNIT), owner.unit("basic.target")
    # A property of systemd itself, not of a unit.
    pid1 = owner.type("systemctl show -p UserspaceTimestampMonotonic").strip().split("=", 1)[1]
    return UnitTimes(int(pid1), unit.exec_start, unit.exec_exit, basic.active_enter)


def at_boot(owner: Owner) -> AtBoot:
    return AtBoot(owner.gpfsel(), owner.command("status"))


def installed(owner: Owner, block: str) -> Installed:
    owner.command(block)
    status, enabled = owner.answer("systemctl is-enabled %s" % UNIT)
    return Installed(owner.gpfsel(), status, enabled)


def removal(owner: Owner, remove: str, purge: str) -> Removal:
    """Removal, which keeps the owner's choice, and purge, which forgets it."""
    owner.command(remove)
    files = owner.type("ls /usr/sbin/switchPinCtrl /usr/lib/systemd/system/%s" % UNIT, status=2)
    links = owner.type("find /etc/systemd -name 'switchpinctrl*'")
    owner.command(purge)
    return Removal(files, links, trace(owner))


def trace(owner: Owner) -> Trace:
    return Trace(owner.type("dpkg-query -W -f '${Status}' switchpinctrl", status=1),
                 owner.type("find /usr/lib/systemd /etc/systemd /var/lib/systemd/deb-systemd-helper-enabled "
                            "-name '*switchpinctrl*'"))


def failed(owner: Owner) -> str:
    return owner.type("systemctl --failed --plain --no-legend")


# Debian's chain: stock Debian, which refuses the tool; the owner's iomem=relaxed step; the
# package built on the board.

@dataclass(frozen=True, kw_only=True)
class Stock(Booted):
    """Stock Debian, the release's armel package installed and its unit enabled; the step."""
    kernel: Regs  # GPFSEL0/1 at root's first login
    pins: str  # the kernel's pin table, as the README's check prints it
    installed: Installed
    enable: str  # what enabling printed
    refused: Regs  # GPFSEL0/1 after it
    status: str
    man: str  # the manual page's first lines


def stock(owner: Owner) -> Stock:
    owner.login()
    kernel, pins = owner.gpfsel(), owner.command("debian-pins")
    install = installed(owner, "debian-install")
    enable = owner.command("debian-enable", status=1)
    refused, status = owner.gpfsel(), owner.command("status", status=3)
    man = owner.type("man switchPinCtrl | head -n 4")
    owner.block("debian-step")
    return Stock(kernel=kernel, pins=pins, installed=install, enable=enable, refused=refused, status=status,
                 man=man)


@dataclass(frozen=True, kw_only=True)
class AfterStep(RanAtBoot):
    """The boot after the step: the owner's check of it; the release's package removed and
    purged; the README's build on the board from the card's copy of the repository (apt's
    update only warns, with no network), the service enabled from inputs, the pins checked."""
    at_boot: AtBoot
    step_check: str
    removal: Removal
    build: list[Ran]
    enable: str
    enabled: Regs  # GPFSEL0/1 once enabled
    pins: str


def after_step(owner: Owner) -> AfterStep:
    owner.login()
    left, times, step_check = at_boot(owner), unit_times(owner), owner.command("debian-step-check")
    removed = removal(owner, "debian-remove", "debian-purge")
    owner.command("take-source")
    owner.block("native-update")
    build = owner.block("native-build", timeout=BUILD_TIMEOUT)
    # Removal stopped the unit that ran at boot, so enabling it now runs the new tool.
    owner.seed(RASPIOS)
    enable = owner.command("debian-enable")
    enabled, pins = owner.gpfsel(), owner.command("debian-pins")
    owner.type("reboot")
    return AfterStep(at_boot=left, times=times, step_check=step_check, removal=removed, build=build, enable=enable,
                     enabled=enabled, pins=pins)


@dataclass(frozen=True, kw_only=True)
class Native(RanAtBoot):
    """The boot after the build on the board: the package's architecture and dependencies,
    its tool typed on inputs; removal, purge, and the build undone (what dpkg and ls then say
    of its tools and copies); the step undone."""
    at_boot: AtBoot
    package: str  # "ARCHITECTURE DEPENDS"
    seeded: Regs
    tool: Typed
    removal: Removal
    build_tools: str
    copies: str


def native(owner: Owner) -> Native:
    owner.login()
    left, times = at_boot(owner), unit_times(owner)
    package = owner.type("dpkg-query -W -f '${Architecture} ${Depends}' switchpinctrl")
    owner.seed(RASPIOS)
    seeded = owner.gpfsel()
    tool = Typed(owner.type("switchPinCtrl"), owner.gpfsel())
    removed = removal(owner, "debian-remove", "debian-purge")
    owner.block("native-undo")
    # dpkg's state of each build tool it still knows of: not "installed".
    tools = owner.answer("dpkg-query -W -f '${db:Status-Status} ' build-essential cmake debhelper")[1]
    copies = owner.type("ls -d ~/switchPinCtrl ~/switchpinctrl_* /boot/firmware/switchPinCtrl", status=2)
    owner.block("debian-undo-step")
    return Native(at_boot=left, times=times, package=package, seeded=seeded, tool=tool, removal=removed,
                  build_tools=tools, copies=copies)


@dataclass(frozen=True, kw_only=True)
class FirstBoot(RanAtBoot):
    """A fleet's image's first boot, no command typed: what the unit left, the failed units."""
    at_boot: AtBoot
    failed: str


def first_boot(owner: Owner) -> FirstBoot:
    owner.login()
    return FirstBoot(at_boot=at_boot(owner), times=unit_times(owner), failed=failed(owner))


# Raspberry Pi OS's chain, stood in for (standin.py): its first user, with sudo, from
# install to purge.

def pi_login(owner: Owner) -> Login:
    owner.login(standin.RASPIOS_USER, standin.RASPIOS_PASSWORD)
    return Login(owner.gpfsel(), owner.unit(UNIT), failed(owner),
                 owner.type("journalctl -b -q --no-pager -u %s" % UNIT))


@dataclass(frozen=True, kw_only=True)
class Raspios(Booted):
    """The look for dtparam=spi=on; the release's armhf package installed and enabled; removed."""
    login: Login
    spi_check: str
    installed: Installed
    enabled: Regs  # GPFSEL0/1 once the unit was enabled
    status: str
    pins: str  # the kernel's pin table, as the README's check prints it
    arch: str


def raspios(owner: Owner) -> Raspios:
    owner.login()
    for command in standin.RASPIOS_SETUP:
        owner.type(command)
    owner.logout()
    login = pi_login(owner)
    spi_check = owner.command("raspios-spi-check", status=1)
    install = installed(owner, "raspios-install")
    owner.command("raspios-enable")
    enabled, status, pins = owner.gpfsel(), owner.command("status"), owner.command("raspios-pins")
    arch = owner.type("dpkg-query -W -f '${Architecture}' switchpinctrl")
    owner.command("raspios-remove")
    owner.type("sudo reboot")
    return Raspios(login=login, spi_check=spi_check, installed=install, enabled=enabled, status=status, pins=pins,
                   arch=arch)


@dataclass(frozen=True, kw_only=True)
class Reinstalled(Booted):
    """The boot after removal; the package installed again."""
    login: Login
    installed: Installed


def reinstalled(owner: Owner) -> Reinstalled:
    login = pi_login(owner)
    install = installed(owner, "raspios-install")
    owner.type("sudo reboot")
    return Reinstalled(login=login, installed=install)


@dataclass(frozen=True, kw_only=True)
class Upgraded(RanAtBoot):
    """After the install again: GPIO 7-11 set to inputs, the upgrade, the unit before and after."""
    login: Login
    before: Unit
    upgraded: Regs  # GPFSEL0/1 after the upgrade
    after: Unit


def upgraded(owner: Owner) -> Upgraded:
    login = pi_login(owner)
    times, before = unit_times(owner), owner.unit(UNIT)
    owner.seed(RASPIOS)
    owner.command("raspios-upgrade")
    regs, after = owner.gpfsel(), owner.unit(UNIT)
    owner.type("sudo reboot")
    return Upgraded(login=login, times=times, before=before, upgraded=regs, after=after)


@dataclass(frozen=True, kw_only=True)
class Purged(RanAtBoot):
    """After the upgrade: the version installed, then purge."""
    login: Login
    version: str
    left: Trace


def purged(owner: Owner) -> Purged:
    login, times = pi_login(owner), unit_times(owner)
    version = owner.type("dpkg-query -W -f '${Version}' switchpinctrl")
    owner.block("raspios-purge")
    return Purged(login=login, times=times, version=version, left=trace(owner))


# Boards where the unit must not run the tool, on copies of the stock card after the step.

@dataclass(frozen=True, kw_only=True)
class Elsewhere(Booted):
    """What the unit says, the failed units, GPFSEL0/1, and on a Pi 2 the tool typed by root."""
    unit: Unit
    status: str
    failed: str
    regs: Regs
    tool: Typed | None


def elsewhere(owner: Owner, tool: bool = False) -> Elsewhere:
    owner.login()
    unit, status = owner.unit(UNIT), owner.command("status", status=3)
    typed = Typed(owner.type("switchPinCtrl", status=255), owner.gpfsel()) if tool else None
    return Elsewhere(unit=unit, status=status, failed=failed(owner), regs=owner.gpfsel(), tool=typed)


def pi_2(owner: Owner) -> Elsewhere:
    return elsewhere(owner, tool=True)


# The chains' records: one field per boot, named as the boot.
RaspiosChain = NamedTuple("RaspiosChain", [("raspios", Raspios), ("reinstalled", Reinstalled),
                                           ("upgraded", Upgraded), ("purged", Purged)])
DebianChain = NamedTuple("DebianChain", [("stock", Stock), ("after_step", AfterStep), ("native", Native)])
FleetChain = NamedTuple("FleetChain", [("first_boot", FirstBoot)])
ElsewhereChain = NamedTuple("ElsewhereChain", [("pi_2", Elsewhere), ("spi", Elsewhere)])

# Each chain, its boots in order. Raspberry Pi OS's is the longest: it goes first. Only on
# its tree, which leaves GPIO 7-11 as inputs, can the unit's run at boot be seen from outside.
OWN = frozenset({Need.RELEASE, Need.SUDO})
CHAINS = [
    Chain("raspios", RaspiosChain, [
        Boot("raspios", "system", "raspios", raspios, needs=OWN, shows=frozenset({"pins"})),
        Boot("reinstalled", "raspios", "raspios", reinstalled),
        Boot("upgraded", "reinstalled", "raspios", upgraded, needs=frozenset({Need.NEWER}),
             pc=frozenset({"package"}), watch=True, ran_at_boot=True),
        Boot("purged", "upgraded", "raspios", purged, watch=True, ran_at_boot=True)]),
    Chain("debian", DebianChain, [
        Boot("stock", "system", "debian", stock, needs=OWN, shows=frozenset({"pins"})),
        Boot("after_step", "stock", "debian", after_step, needs=frozenset({Need.TREE}),
             shows=frozenset({"status", "pins"}), ran_at_boot=True),
        Boot("native", "after_step", "debian", native, shows=frozenset({"status"}), ran_at_boot=True)]),
    Chain("fleet", FleetChain, [
        Boot("first_boot", "fleet", "debian", first_boot, pc=frozenset({"fleet"}), ran_at_boot=True)]),
    Chain("elsewhere", ElsewhereChain, [
        Boot("pi_2", "stock", "pi-2", pi_2),
        Boot("spi", "stock", "spi0-kernel", elsewhere)]),
]
