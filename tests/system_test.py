# SPDX-License-Identifier: MIT
"""The owners' journeys with the board's package, on a Debian system booted on the emulated
Pi Zero from its own card, typed at its console as the README gives them: stock Debian,
whose kernel refuses the tool, the owner's step and the boot after it, removal and purge;
the package built on the board, the boot after it, removal, purge and the step undone; the
image a fleet bakes; the board that stands for Raspberry Pi OS, and as a Raspberry Pi 2
and with SPI0 given to the kernel's driver. Judged from outside: what the console showed,
GPFSEL0/1 read through QEMU's monitor, the card."""
import glob
import os
import re

import pytest
from raspi0 import provision
from raspi0.debian import fleet, image
from raspi0.journeys import BOOTS, UNIT, make_packages, newer_version, upgrade_version
from raspi0.lifecycle import copy_tree, journeys
from raspi0.readme import README

# GPFSEL0/1 as the kernel leaves them with Debian's tree (its hog puts GPIO 0-5 and 7-11
# in alternate function 0 and 6 is an output), and with Raspberry Pi OS's (7-11 inputs).
DEBIAN = (0x24864924, 0x24024024)
RASPIOS = (0x00064924, 0x24024000)
SWITCHED = (0x24864924, 0x24024024)
# The kernel's SPI driver: 7 and 8 its chip-select outputs, 9-11 alternate function 0.
SPI_DRIVER = (0x21264924, 0x24024024)
TOOL_LINE = re.compile(r"switchPinCtrl\[\d+\]: SPI mapped from 0x0x20204000 to 0x0x[0-9a-f]*000$", re.M)


@pytest.fixture(scope="module")
def seen(option, tmp_path_factory):
    source, cache, oldcalls = option("--source"), option("--board-cache"), option("--oldcalls")
    debs = make_packages(source)
    armel = next(deb for deb in debs if deb.endswith("_armel.deb"))
    work = tmp_path_factory.mktemp("journeys")
    images = {"system": image.image(cache, oldcalls), "fleet": fleet.fleet_image(cache, oldcalls, armel)[0]}
    files = [*debs, *newer_version(source, str(work)), provision.prepare(cache).sudo,
             copy_tree(source, str(work / "switchPinCtrl"))]
    found = journeys(provision.emulator(cache), images, BOOTS, README, str(work), files, os.path.join(cache, "saved"))
    for name, boot in found.items():
        print("the boot %s took %.1f s%s" % (name, boot["seconds"], ", restored" if boot["restored"] else ""))
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
    assert "switchPinCtrl - hand GPIO 7 to 11 of a BCM2835 board to the SPI0 controller" in \
        " ".join(stock["man"].split())


def test_owner_step_reaches_the_kernel(seen):
    """The harness passes no iomem=: stock Debian boots without it, the step writes it into
    the card's cmdline.txt, and the next boots' kernels have it from there; undone, it
    leaves the card's cmdline.txt."""
    assert "iomem=" not in seen["stock"]["cmdline"]
    assert "iomem=relaxed" in seen["stock"]["cmdline_txt"].split()
    for name in ("after-step", "native"):
        assert "iomem=relaxed" in seen[name]["cmdline"].split()
    assert "iomem=" not in seen["native"]["cmdline_txt"]


@pytest.mark.parametrize("name", ["after-step", "native"])
def test_status_is_as_the_readme_shows_it(seen, name):
    """After the step, on Debian's tree as it is, with the PC's package and with the one
    built on the board: the unit has run, its status reads as the README's example, and the
    pins are exactly as the hog left them."""
    status = seen[name]["status"]
    print("systemctl status, %s:\n%s" % (name, status))
    example = "\n".join(README.block("example", "status"))
    shown = ("switchpinctrl.service -", "Loaded:", "Active:", "Docs:", "Process:", "Main PID:")
    assert lines_of(status, shown) == lines_of(example, shown)
    assert TOOL_LINE.search(status) and TOOL_LINE.search(example), status
    assert seen[name]["regs"] == DEBIAN


@pytest.mark.parametrize("name", ["after-step", "native", "first-boot"])
def test_switches_early(seen, name):
    """At boot, in order: the kernel's hog, PID 1, the unit's run, sysinit.target. The
    figures are on the emulated board's timeline, from the kernel's start."""
    times, hog = seen[name]["times"], seen[name]["pins_first_set"]
    pid1, start = times["UserspaceTimestampMonotonic"], times["ExecMainStartTimestampMonotonic"]
    exit_, sysinit = times["ExecMainExitTimestampMonotonic"], times["ActiveEnterTimestampMonotonic"]
    assert hog is not None and 0 < hog * 1e6 < pid1 < start < exit_ < sysinit
    print("%s: the hog set the pins at %.1f s, PID 1 started at %.1f s, the unit ran from %.1f s to %.1f s "
          "(%.1f s after PID 1), sysinit.target at %.1f s" % (name, hog, pid1 / 1e6, start / 1e6, exit_ / 1e6,
                                                              (exit_ - pid1) / 1e6, sysinit / 1e6))


@pytest.mark.parametrize("name", ["after-step", "native"])
def test_remove_and_purge(seen, name):
    """Removal takes the files and keeps the owner's choice, the link that systemd ignores
    while the unit is gone; purge leaves no trace. The PC's package, and the board's."""
    step = seen[name]
    assert step["files"].count("No such file or directory") == 2
    assert step["links"] == "/etc/systemd/system/sysinit.target.wants/%s\n" % UNIT
    assert "no packages found matching switchpinctrl" in step["left"][0] and step["left"][1] == ""


def test_fleet_first_boot(option, seen):
    """The image a fleet baked: the unit has run at its first boot and nothing failed, and
    making it changed nothing of this machine's systemd."""
    first = seen["first-boot"]
    assert "Active: active (exited)" in first["status"] and TOOL_LINE.search(first["status"])
    assert (first["failed"], first["regs"]) == ("", DEBIAN)
    armel = glob.glob(os.path.join(option("--source"), "build", "board", "switchpinctrl_*_armel.deb"))[0]
    assert fleet.fleet_image(option("--board-cache"), option("--oldcalls"), armel)[1] == []


def test_package_built_on_the_board(seen):
    """The README's build on the board makes the package with the board's own compiler and
    C library, and installs it without its debug symbols; enabled in the boot that removed
    the PC's package, its unit runs at once; its tool switches the pins from inputs."""
    step, native = seen["after-step"], seen["native"]
    for line, seconds in zip(README.commands("board", "native-build"), step["took"]):
        print("on the board, %r took %.0f s" % (line, seconds))
    assert re.search(r"^Setting up switchpinctrl \(", step["build"][-1], re.M) and "dbgsym" not in step["build"][-1]
    assert "Created symlink /etc/systemd/system/sysinit.target.wants/%s" % UNIT in step["enable"][0]
    assert step["enabled"] == SWITCHED
    arch, depends = native["package"].split(" ", 1)
    assert arch == "armel" and re.search(r"(^|, )libc6 ", depends), native["package"]
    assert native["seeded"] == RASPIOS and native["typed"][1] == SWITCHED
    assert re.fullmatch(r"SPI mapped from 0x0x20204000 to 0x0x[0-9a-f]*000\n", native["typed"][0])


def test_raspios(seen):
    """Raspberry Pi OS, from install to purge, with sudo: installing runs nothing until the
    unit is enabled, which switches the pins from inputs; after removal the next boot runs
    nothing and fails nothing, and the package installed again is enabled as before and
    runs nothing; the upgrade leaves the pins and the unit alone, and the next boot's new
    version switches them; purge leaves no trace."""
    pi, again, up, last = (seen[name] for name in ("raspios", "reinstalled", "upgraded", "purged"))
    assert pi["regs"] == RASPIOS and pi["installed"] == (RASPIOS, "disabled\n")
    assert pi["enabled"] == SWITCHED and "Active: active (exited)" in pi["status"] and pi["arch"] == "armhf"
    assert (again["regs"], again["unit"]) == (RASPIOS, {"LoadState": "not-found", "ActiveState": "inactive"})
    assert (again["failed"], again["journal"], again["installed"]) == ("", "", (RASPIOS, (0, "enabled\n")))
    assert up["regs"] == SWITCHED and TOOL_LINE.search(up["journal"]) and up["before"]["ActiveState"] == "active"
    assert (up["upgraded"], up["after"]) == (RASPIOS, up["before"])
    assert last["regs"] == SWITCHED and TOOL_LINE.search(last["journal"]) and last["version"] == upgrade_version()
    assert "no packages found matching switchpinctrl" in last["left"][0] and last["left"][1] == ""


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


def test_tool_refuses_on_a_pi_2(seen):
    """Typed by root on a Raspberry Pi 2, whose kernel would let it map the addresses: the
    tool names the reason, ends with status 255 and writes nothing."""
    assert "iomem=relaxed" in seen["pi-2"]["cmdline"].split()
    assert seen["pi-2"]["typed"] == ("not a BCM2835 board\n", RASPIOS)


@pytest.mark.parametrize("name", ["stock", "raspios"])
def test_pins_are_as_the_readme_shows_them(seen, name):
    """The kernel's pin table as the owner checks it, with GPIO 7-11 in alt0: on stock
    Debian from its hog, on Raspberry Pi OS once the unit has run."""
    assert seen[name]["pins"] == "\n".join(README.block("example", "pins")) + "\n"


def test_every_owner_block_is_run(seen):
    """Every block of the README's owner sections was typed, run or compared by a journey."""
    assert README.unused() == []
