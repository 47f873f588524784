# SPDX-License-Identifier: MIT
"""The owners' journeys with the board's package, on a Debian system booted on the emulated
Pi Zero from its own card, typed at its console as the README gives them: stock Debian,
whose kernel refuses the tool, the owner's step and the boot after it, removal and purge;
the image a fleet bakes, and a native build on it; the board that stands for Raspberry Pi
OS, and as a Raspberry Pi 2 and with SPI0 given to the kernel's driver. Judged from
outside: what the console showed, GPFSEL0/1 read through QEMU's monitor, the card."""
import glob
import os
import re
import subprocess

import pytest
from raspi0 import provision, standin
from raspi0.debian import fleet, image
from raspi0.host import Failure
from raspi0.lifecycle import Boot, copy_tree, journeys
from raspi0.readme import README

UNIT = "switchpinctrl.service"
# GPFSEL0/1 as the kernel leaves them with Debian's tree (its hog puts GPIO 0-5 and 7-11
# in alternate function 0 and 6 is an output), and with Raspberry Pi OS's (7-11 inputs).
DEBIAN = (0x24864924, 0x24024024)
RASPIOS = (0x00064924, 0x24024000)
SWITCHED = (0x24864924, 0x24024024)
# The kernel's SPI driver: 7 and 8 its chip-select outputs, 9-11 alternate function 0.
SPI_DRIVER = (0x21264924, 0x24024024)
TOOL_LINE = re.compile(r"switchPinCtrl\[\d+\]: SPI mapped from 0x0x20204000 to 0x0x[0-9a-f]*000$", re.M)


def unit_times(owner):
    times = owner.show(UNIT, "ExecMainStartTimestampMonotonic", "ExecMainExitTimestampMonotonic")
    times.update(owner.show("sysinit.target", "ActiveEnterTimestampMonotonic"))
    return {key: int(value) for key, value in times.items()}


def stock(owner):
    """Stock Debian: the package installed and its unit enabled; the owner's step."""
    owner.login()
    seen = {"kernel": owner.gpfsel()}
    owner.type(standin.TAKE_PACKAGES)
    seen["install"] = owner.block("debian-install")
    seen["installed"] = owner.gpfsel(), owner.type("systemctl is-enabled %s" % UNIT, status=1)
    seen["enable"] = owner.block("debian-enable", {0: 1})
    seen["refused"], seen["status"] = owner.gpfsel(), owner.block("status", {0: 3})[0]
    seen["man"] = owner.type("man switchPinCtrl | head -n 4")
    owner.block("debian-step")
    return seen


def after_step(owner):
    """Debian's tree as the card has it, after the step: the unit runs; then removal."""
    owner.login()
    seen = {"regs": owner.gpfsel(), "status": owner.block("status")[0], "times": unit_times(owner)}
    owner.block("debian-remove")
    seen["files"] = owner.type("ls /usr/sbin/switchPinCtrl /lib/systemd/system/%s" % UNIT, status=2)
    seen["links"] = owner.type("find /etc/systemd -name 'switchpinctrl*'")
    owner.type("reboot")
    return seen


def removed(owner):
    """The boot after removal: nothing ran and nothing failed; then purge."""
    owner.login()
    seen = {"unit": owner.show(UNIT, "LoadState", "ActiveState"),
            "failed": owner.type("systemctl --failed --plain --no-legend"),
            "journal": owner.type("journalctl -b -u %s -o cat" % UNIT)}
    owner.block("debian-purge")
    seen["package"] = owner.type("dpkg-query -W -f '${Status}' switchpinctrl", status=1)
    seen["left"] = owner.type("find /etc/systemd /var/lib/systemd/deb-systemd-helper-enabled -name '*switchpinctrl*'")
    return seen


def first_boot(owner):
    """A fleet's image, booted for the first time: the unit has run, with no command typed.
    Then a native build on it, whose tool switches the pins from inputs."""
    owner.login()
    seen = {"regs": owner.gpfsel(), "status": owner.block("status")[0], "times": unit_times(owner),
            "failed": owner.type("systemctl --failed --plain --no-legend")}
    owner.type(standin.TAKE_SOURCE)
    for offset, value in enumerate(RASPIOS):
        owner.type("busybox devmem 0x%08x 32 0x%08x" % (0x20200000 + 4 * offset, value))
    seen["seeded"] = owner.gpfsel()
    seen["native"] = owner.block("native-build")
    seen["which"], seen["built"] = owner.type("command -v switchPinCtrl"), owner.gpfsel()
    return seen


def raspios(owner):
    """The board that stands for Raspberry Pi OS: its first user installs the armhf package
    and enables the unit with sudo."""
    owner.login()
    for command in standin.RASPIOS_SETUP:
        owner.type(command)
    owner.logout()
    owner.login(standin.RASPIOS_USER, standin.RASPIOS_PASSWORD)
    seen = {"kernel": owner.gpfsel()}
    owner.type(standin.TAKE_PACKAGES)
    owner.block("raspios-install")
    seen["installed"] = owner.gpfsel(), owner.type("systemctl is-enabled %s" % UNIT, status=1)
    owner.block("raspios-enable")
    seen["enabled"], seen["status"] = owner.gpfsel(), owner.block("status")[0]
    seen["arch"] = owner.type("dpkg-query -W -f '${Architecture}' switchpinctrl")
    return seen


def elsewhere(owner):
    """A board where the unit must not run the tool: what it says, and the pins."""
    owner.login(standin.RASPIOS_USER, standin.RASPIOS_PASSWORD)
    return {"unit": owner.show(UNIT, "ActiveState", "ConditionResult"),
            "status": owner.type("systemctl status %s" % UNIT, status=3),
            "failed": owner.type("systemctl --failed --plain --no-legend"), "regs": owner.gpfsel()}


BOOTS = [
    Boot("stock", "system", "debian", stock),
    Boot("first-boot", "fleet", "debian", first_boot),
    Boot("after-step", "stock", "debian", after_step),
    Boot("removed", "after-step", "debian", removed),
    Boot("raspios", "system", "raspios", raspios),
    Boot("pi-2", "raspios", "pi-2", elsewhere),
    Boot("spi", "raspios", "spi0-kernel", elsewhere),
]


@pytest.fixture(scope="module")
def seen(option, tmp_path_factory):
    source, cache, oldcalls = option("--source"), option("--board-cache"), option("--oldcalls")
    # The owner's PC makes the packages with the README's own commands.
    for command in README.commands("pc", "package"):
        done = subprocess.run(command, shell=True, cwd=source, capture_output=True, text=True)
        if done.returncode != 0:
            raise Failure("%r failed (status %d):\n%s" % (command, done.returncode, done.stderr[-3000:]))
    debs = sorted(glob.glob(os.path.join(source, "build", "board", "switchpinctrl_*.deb")))
    armel = next(deb for deb in debs if deb.endswith("_armel.deb"))
    work = tmp_path_factory.mktemp("journeys")
    images = {"system": image.image(cache, oldcalls), "fleet": fleet.fleet_image(cache, oldcalls, armel)[0]}
    files = [*debs, provision.prepare(cache).sudo, copy_tree(source, str(work / "switchPinCtrl"))]
    found = journeys(provision.emulator(cache), images, BOOTS, README, str(work), files)
    for name, boot in found.items():
        print("the boot %s took %.1f s" % (name, boot["seconds"]))
        if boot["stalled"]:
            print("  and was taken again, for its first try stalled: %s" % boot["stalled"])
    return found


def lines_of(status, starts):
    """The lines of `systemctl status` output that tell the unit's state, without what
    changes from boot to boot."""
    found = []
    for line in status.splitlines():
        line = line.strip().lstrip("●*× ")
        if line.startswith(starts):
            found.append(re.sub(r" since .*|\d+", "N", line))
    return found


def test_stock_debian_refuses_the_tool(seen):
    """Installing enables nothing and runs nothing; enabling fails visibly with the tool's
    line, and the pins stay as the kernel left them."""
    stock = seen["stock"]
    assert stock["kernel"] == DEBIAN
    assert stock["installed"] == (DEBIAN, "disabled\n")
    assert "Created symlink /etc/systemd/system/sysinit.target.wants/%s" % UNIT in stock["enable"][0]
    assert stock["refused"] == DEBIAN
    assert "Active: failed (Result: exit-code)" in stock["status"]
    assert re.search(r"switchPinCtrl\[\d+\]: mmap error -1$", stock["status"], re.M), stock["status"]
    assert "switchPinCtrl - hand GPIO pins 7 to 11 of a BCM2835 board to the SPI0 controller" in \
        " ".join(stock["man"].split())


def test_owner_step_reaches_the_kernel(seen):
    """The harness passes no iomem=: stock Debian boots without it, the step writes it into
    the card's cmdline.txt, and the next boot's kernel has it from there."""
    assert "iomem=" not in seen["stock"]["cmdline"]
    assert "iomem=relaxed" in seen["stock"]["cmdline_txt"].split()
    assert "iomem=relaxed" in seen["after-step"]["cmdline"].split()


def test_status_is_as_the_readme_shows_it(seen):
    """After the step, on Debian's tree as it is: the unit has run, its status reads as the
    README's example, and the pins are exactly as the hog left them."""
    status = seen["after-step"]["status"]
    example = "\n".join(README.block("example", "status"))
    assert lines_of(status, ("switchpinctrl.service -", "Loaded:", "Active:")) == \
        lines_of(example, ("switchpinctrl.service -", "Loaded:", "Active:"))
    assert TOOL_LINE.search(status) and TOOL_LINE.search(example), status
    assert seen["after-step"]["regs"] == DEBIAN


@pytest.mark.parametrize("name", ["after-step", "first-boot"])
def test_switches_before_sysinit(seen, name):
    """At boot the tool has run, and finished, before sysinit.target is reached."""
    times = seen[name]["times"]
    start, exit_ = times["ExecMainStartTimestampMonotonic"], times["ExecMainExitTimestampMonotonic"]
    assert 0 < start < exit_ < times["ActiveEnterTimestampMonotonic"]
    print("%s: the unit ran %d ms; the pins were switched %d ms after the kernel started, sysinit.target "
          "reached at %d ms" % (name, (exit_ - start) // 1000, exit_ // 1000,
                                times["ActiveEnterTimestampMonotonic"] // 1000))


def test_remove_and_purge(seen):
    """Removal takes the files and the unit's link, the next boot runs nothing and fails
    nothing, and purge leaves no trace."""
    step, removed = seen["after-step"], seen["removed"]
    assert step["files"].count("No such file or directory") == 2 and step["links"] == ""
    assert removed["unit"] == {"LoadState": "not-found", "ActiveState": "inactive"}
    assert (removed["failed"], removed["journal"]) == ("", "")
    assert "no packages found matching switchpinctrl" in removed["package"] and removed["left"] == ""


def test_fleet_first_boot(option, seen):
    """The image a fleet baked: the unit has run at its first boot and nothing failed, and
    making it changed nothing of this machine's systemd."""
    first = seen["first-boot"]
    assert "Active: active (exited)" in first["status"] and TOOL_LINE.search(first["status"])
    assert (first["failed"], first["regs"]) == ("", DEBIAN)
    armel = glob.glob(os.path.join(option("--source"), "build", "board", "switchpinctrl_*_armel.deb"))[0]
    assert fleet.fleet_image(option("--board-cache"), option("--oldcalls"), armel)[1] == []


def test_native_build_switches_the_pins(seen):
    """The README's native build on the board, and the tool it built switches the pins."""
    first = seen["first-boot"]
    assert (first["seeded"], first["built"]) == (RASPIOS, SWITCHED)
    assert first["which"] == "/usr/local/sbin/switchPinCtrl\n"
    assert re.fullmatch(r"SPI mapped from 0x0x20204000 to 0x0x[0-9a-f]*000\n", first["native"][-1])


def test_raspios(seen):
    """Raspberry Pi OS: the armhf package, installed with sudo, runs nothing until its unit
    is enabled, which switches the pins from inputs."""
    pi = seen["raspios"]
    assert pi["kernel"] == RASPIOS and pi["installed"] == (RASPIOS, "disabled\n")
    assert pi["enabled"] == SWITCHED and "Active: active (exited)" in pi["status"]
    assert pi["arch"] == "armhf"


@pytest.mark.parametrize("name, says, regs", [
    ("pi-2", "Condition: start condition failed", RASPIOS),
    ("spi", "SPI0 is enabled in the device tree, so the kernel's SPI driver owns GPIO 7-11: leaving them alone",
     SPI_DRIVER)])
def test_unit_stands_aside(seen, name, says, regs):
    """Not a BCM2835, or SPI0 given to the kernel's driver: the unit is inactive, not failed,
    says why, and the pins are as the kernel left them."""
    boot = seen[name]
    assert boot["unit"]["ActiveState"] == "inactive" and boot["failed"] == ""
    assert says in boot["status"] and not TOOL_LINE.search(boot["status"])
    assert boot["regs"] == regs


def test_every_owner_block_is_run(seen):
    """Every block of the README's owner sections was typed, run or compared by a journey."""
    assert README.unused() == []
