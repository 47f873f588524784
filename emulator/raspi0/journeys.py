# SPDX-License-Identifier: MIT
"""What the owners type on the emulated board's Debian system, boot after boot, the README's
own blocks among it, and what each journey saw, as a record for the tests to judge. The
boots form chains (CHAINS): each continues on the card that the one before it left."""
from dataclasses import dataclass, replace

from . import standin
from .chains import Boot, Booted
from .soc import GPFSEL0, RASPIOS

UNIT = "switchpinctrl.service"
# How long each line of the package's build on the board may take: dpkg-buildpackage
# takes about 4 minutes on the emulated Pi Zero, where the console's other commands take
# seconds; a slower machine running the emulator may take a few times that.
BUILD_TIMEOUT = 1200


@dataclass(frozen=True)
class UnitTimes:
    """When, in µs of the board's monotonic clock, PID 1 started, the unit's tool started
    and ended, and sysinit.target and basic.target were reached."""
    pid1: int
    start: int
    exit: int
    sysinit: int
    basic: int


@dataclass(frozen=True)
class Trace:
    """What purge must leave of the package: dpkg's answer when asked for it, and the
    unit's files, systemd's links and deb-systemd-helper's state that are still found."""
    dpkg: str
    files: str


@dataclass(frozen=True)
class Removal:
    """After removal: what `ls` said of the tool and the unit, and the links left; then what
    purge left."""
    files: str
    links: str
    left: Trace


@dataclass(frozen=True)
class Installed:
    """Just after the package was installed: GPFSEL0/1, and what `systemctl is-enabled`
    said, with its status."""
    regs: tuple
    status: int
    enabled: str


@dataclass(frozen=True)
class Typed:
    """The tool typed by root: what it printed, and GPFSEL0/1 after it."""
    output: str
    regs: tuple


def unit_times(owner):
    unit = owner.show(UNIT, "ExecMainStartTimestampMonotonic", "ExecMainExitTimestampMonotonic")
    targets = [owner.show(target, "ActiveEnterTimestampMonotonic")["ActiveEnterTimestampMonotonic"]
               for target in ("sysinit.target", "basic.target")]
    # A property of systemd itself, not of a unit.
    pid1 = owner.type("systemctl show -p UserspaceTimestampMonotonic").strip().split("=", 1)[1]
    return UnitTimes(int(pid1), int(unit["ExecMainStartTimestampMonotonic"]),
                     int(unit["ExecMainExitTimestampMonotonic"]), *map(int, targets))


def installed(owner, block):
    owner.block(block)
    status, enabled = owner.type("systemctl is-enabled %s" % UNIT, status=None)
    return Installed(owner.gpfsel(), status, enabled)


def removal(owner, remove, purge):
    """Removal, which keeps the owner's choice, and purge, which forgets it."""
    owner.block(remove)
    files = owner.type("ls /usr/sbin/switchPinCtrl /usr/lib/systemd/system/%s" % UNIT, status=2)
    links = owner.type("find /etc/systemd -name 'switchpinctrl*'")
    owner.block(purge)
    return Removal(files, links, trace(owner))


def trace(owner):
    return Trace(owner.type("dpkg-query -W -f '${Status}' switchpinctrl", status=1),
                 owner.type("find /usr/lib/systemd /etc/systemd /var/lib/systemd/deb-systemd-helper-enabled "
                            "-name '*switchpinctrl*'"))


def seed_inputs(owner):
    """GPIO 7-11 back to inputs, as Raspberry Pi OS's tree leaves them, the rest as Debian's
    tree leaves it."""
    for offset, value in enumerate(RASPIOS):
        owner.type("%sbusybox devmem 0x%08x 32 0x%08x" % (owner.sudo(), GPFSEL0 + 4 * offset, value))


# Debian's chain: stock Debian, which refuses the tool; the owner's iomem=relaxed step; the
# package built on the board.

@dataclass(frozen=True, kw_only=True)
class Stock(Booted):
    """Stock Debian, the PC's armel package installed and its unit enabled; then the step."""
    kernel: tuple  # GPFSEL0/1 at root's first login
    pins: str  # the kernel's pin table, as the README's check prints it
    installed: Installed
    enable: str  # what enabling printed
    refused: tuple  # GPFSEL0/1 after it
    status: str
    man: str  # the manual page's first lines


def stock(owner):
    owner.login()
    kernel, pins = owner.gpfsel(), owner.block("debian-pins")[0]
    install = installed(owner, "debian-install")
    enable = owner.block("debian-enable", {0: 1})[0]
    refused, status = owner.gpfsel(), owner.block("status", {0: 3})[0]
    man = owner.type("man switchPinCtrl | head -n 4")
    owner.block("debian-step")
    return Stock(kernel=kernel, pins=pins, installed=install, enable=enable, refused=refused, status=status,
                 man=man)


@dataclass(frozen=True, kw_only=True)
class RanAtBoot(Booted):
    """Root's login after a boot with the unit enabled: what the unit left."""
    regs: tuple
    status: str
    times: UnitTimes


def ran_at_boot(owner):
    return dict(regs=owner.gpfsel(), status=owner.block("status")[0], times=unit_times(owner))


@dataclass(frozen=True, kw_only=True)
class AfterStep(RanAtBoot):
    """The owner's check that the kernel has the step's word; the release's package removed
    and purged; then the README's route for the package built on the board, in the same boot:
    the copy of this repository taken from the card, the package lists updated (where the
    board has no network, apt only warns), the build, the install, the service enabled, and
    the pins checked."""
    step_check: str  # what the check printed
    removal: Removal
    build: list  # what each line of the build printed
    took: list  # and how many seconds each took
    enable: str  # what enabling the board's build printed
    enabled: tuple  # GPFSEL0/1 after it, from inputs
    pins: str  # the kernel's pin table then, as the README's check prints it


def after_step(owner):
    owner.login()
    at_boot = ran_at_boot(owner)
    step_check = owner.block("debian-step-check")[0]
    removed = removal(owner, "debian-remove", "debian-purge")
    owner.block("take-source")
    owner.block("native-update")
    build = owner.block("native-build", timeout=BUILD_TIMEOUT)
    took = owner.took
    # Removal stopped the unit that ran at boot, so enabling it now runs the new tool.
    seed_inputs(owner)
    enable = owner.block("debian-enable")[0]
    enabled, pins = owner.gpfsel(), owner.block("debian-pins")[0]
    owner.type("reboot")
    return AfterStep(**at_boot, step_check=step_check, removal=removed, build=build, took=took, enable=enable,
                     enabled=enabled, pins=pins)


@dataclass(frozen=True, kw_only=True)
class Native(RanAtBoot):
    """The boot after the package was built on the board: the package's architecture and
    dependencies, its tool typed on inputs; removal and purge; the build undone, and what
    dpkg and ls then said of its tools and copies; the step undone."""
    package: str  # "ARCHITECTURE DEPENDS"
    seeded: tuple
    tool: Typed
    removal: Removal
    build_tools: str  # what dpkg-query said of the build tools
    copies: str


def native(owner):
    owner.login()
    at_boot = ran_at_boot(owner)
    package = owner.type("dpkg-query -W -f '${Architecture} ${Depends}' switchpinctrl")
    seed_inputs(owner)
    seeded = owner.gpfsel()
    tool = Typed(owner.type("switchPinCtrl"), owner.gpfsel())
    removed = removal(owner, "debian-remove", "debian-purge")
    owner.block("native-undo")
    # dpkg's state of each build tool it still knows of: not "installed".
    tools = owner.answer("dpkg-query -W -f '${db:Status-Status} ' build-essential cmake debhelper")[1]
    copies = owner.type("ls -d ~/switchPinCtrl ~/switchpinctrl_* /boot/firmware/switchPinCtrl", status=2)
    owner.block("debian-undo-step")
    return Native(**at_boot, package=package, seeded=seeded, tool=tool, removal=removed, build_tools=tools,
                  copies=copies)


# A fleet's image, booted for the first time.

@dataclass(frozen=True, kw_only=True)
class FirstBoot(RanAtBoot):
    """No command typed: what the unit left, and the units that failed."""
    failed: str


def first_boot(owner):
    owner.login()
    return FirstBoot(**ran_at_boot(owner), failed=owner.type("systemctl --failed --plain --no-legend"))


# Raspberry Pi OS's chain, stood in for (standin.py): its first user, with sudo, from
# install to purge.

@dataclass(frozen=True, kw_only=True)
class PiLogin(Booted):
    """The first user's login: GPFSEL0/1, the unit's state, the failed units and the
    unit's lines in this boot's journal."""
    regs: tuple
    unit: dict
    failed: str
    journal: str


def pi_login(owner):
    owner.login(standin.RASPIOS_USER, standin.RASPIOS_PASSWORD)
    return dict(regs=owner.gpfsel(), unit=owner.show(UNIT, "LoadState", "ActiveState"),
                failed=owner.type("systemctl --failed --plain --no-legend"),
                journal=owner.type("journalctl -b -q --no-pager -u %s" % UNIT))


@dataclass(frozen=True, kw_only=True)
class Raspios(PiLogin):
    """The owner's look for an active dtparam=spi=on; the armhf package installed, its unit
    enabled, then the package removed."""
    spi_check: str
    installed: Installed
    enabled: tuple  # GPFSEL0/1 once the unit was enabled
    status: str
    pins: str  # the kernel's pin table, as the README's check prints it
    arch: str


def raspios(owner):
    owner.login()
    for command in standin.RASPIOS_SETUP:
        owner.type(command)
    owner.logout()
    login = pi_login(owner)
    spi_check = owner.block("raspios-spi-check", {0: 1})[0]
    install = installed(owner, "raspios-install")
    owner.block("raspios-enable")
    enabled, status = owner.gpfsel(), owner.block("status")[0]
    pins = owner.block("raspios-pins")[0]
    arch = owner.type("dpkg-query -W -f '${Architecture}' switchpinctrl")
    owner.block("raspios-remove")
    owner.type("sudo reboot")
    return Raspios(**login, spi_check=spi_check, installed=install, enabled=enabled, status=status, pins=pins,
                   arch=arch)


@dataclass(frozen=True, kw_only=True)
class Reinstalled(PiLogin):
    """The boot after removal; the package installed again."""
    installed: Installed


def reinstalled(owner):
    login = pi_login(owner)
    install = installed(owner, "raspios-install")
    owner.type("sudo reboot")
    return Reinstalled(**login, installed=install)


@dataclass(frozen=True, kw_only=True)
class Upgraded(PiLogin):
    """The boot after the package was installed again: when the unit ran; GPIO 7-11 set to
    inputs, then the upgrade, and the unit's state before and after it."""
    times: UnitTimes
    before: dict
    upgraded: tuple  # GPFSEL0/1 after the upgrade
    after: dict


def upgraded(owner):
    login = pi_login(owner)
    times = unit_times(owner)
    before = owner.show(UNIT, "ActiveState", "ExecMainExitTimestampMonotonic")
    seed_inputs(owner)
    owner.block("raspios-upgrade")
    after_regs, after = owner.gpfsel(), owner.show(UNIT, "ActiveState", "ExecMainExitTimestampMonotonic")
    owner.type("sudo reboot")
    return Upgraded(**login, times=times, before=before, upgraded=after_regs, after=after)


@dataclass(frozen=True, kw_only=True)
class Purged(PiLogin):
    """The boot after the upgrade: when the unit ran, the version installed, then purge."""
    times: UnitTimes
    version: str
    left: Trace


def purged(owner):
    login = pi_login(owner)
    times = unit_times(owner)
    version = owner.type("dpkg-query -W -f '${Version}' switchpinctrl")
    owner.block("raspios-purge")
    return Purged(**login, times=times, version=version, left=trace(owner))


# Boards where the unit must not run the tool, on copies of the stock card after the step.

@dataclass(frozen=True, kw_only=True)
class Elsewhere(Booted):
    """What the unit says, the failed units, and GPFSEL0/1."""
    unit: dict
    status: str
    failed: str
    regs: tuple
    tool: Typed | None = None  # on a Pi 2, the tool typed by root


def elsewhere(owner):
    owner.login()
    return Elsewhere(unit=owner.show(UNIT, "ActiveState", "ConditionResult"),
                     status=owner.block("status", {0: 3})[0],
                     failed=owner.type("systemctl --failed --plain --no-legend"), regs=owner.gpfsel())


def pi_2(owner):
    """A Raspberry Pi 2: the unit skipped, and the tool, typed by root, refuses to write."""
    seen = elsewhere(owner)
    return replace(seen, tool=Typed(owner.type("switchPinCtrl", status=255), owner.gpfsel()))


# Each chain, its boots in order. Raspberry Pi OS's is the longest: it goes first. Only on
# its tree, which leaves GPIO 7-11 as inputs, can the unit's run at boot be seen from outside.
CHAINS = {
    "raspios": [Boot("raspios", "system", "raspios", raspios),
                Boot("reinstalled", "raspios", "raspios", reinstalled),
                Boot("upgraded", "reinstalled", "raspios", upgraded, watch=True),
                Boot("purged", "upgraded", "raspios", purged, watch=True)],
    "debian": [Boot("stock", "system", "debian", stock),
               Boot("after-step", "stock", "debian", after_step),
               Boot("native", "after-step", "debian", native)],
    "fleet": [Boot("first-boot", "fleet", "debian", first_boot)],
    "elsewhere": [Boot("pi-2", "stock", "pi-2", pi_2),
                  Boot("spi", "stock", "spi0-kernel", elsewhere)],
}
