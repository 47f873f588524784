# SPDX-License-Identifier: MIT
"""The owners' journeys with the board's package, on a Debian system booted on the emulated
Pi Zero from its own card, typed at its console as the README gives them: stock Debian,
whose kernel refuses the tool, the owner's step and the boot after it, removal and purge;
the image a fleet bakes, and a native build on it; the board that stands for Raspberry Pi
OS, and as a Raspberry Pi 2 and with SPI0 given to the kernel's driver. Judged from
outside: what the console showed, GPFSEL0/1 read through QEMU's monitor, the card."""
import email.utils
import glob
import os
import re
import shutil
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
    """When, in µs from the kernel's start, PID 1 started and the unit ran, and when
    sysinit.target was reached."""
    times = owner.show(UNIT, "ExecMainStartTimestampMonotonic", "ExecMainExitTimestampMonotonic")
    times.update(owner.show("sysinit.target", "ActiveEnterTimestampMonotonic"))
    times.update(line.split("=") for line in owner.type("systemctl show -p UserspaceTimestampMonotonic").split())
    return {key: int(value) for key, value in times.items()}


def no_trace(owner):
    """What purge must leave of the package: dpkg's record, its unit, systemd's links and
    deb-systemd-helper's state."""
    return (owner.type("dpkg-query -W -f '${Status}' switchpinctrl", status=1),
            owner.type("find /usr/lib/systemd /etc/systemd /var/lib/systemd/deb-systemd-helper-enabled "
                       "-name '*switchpinctrl*'"))


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
    """Debian's tree as the card has it, after the step: the unit runs; then removal,
    which keeps the owner's choice, and purge, which forgets it."""
    owner.login()
    seen = {"regs": owner.gpfsel(), "status": owner.block("status")[0], "times": unit_times(owner)}
    owner.block("debian-remove")
    seen["files"] = owner.type("ls /usr/sbin/switchPinCtrl /usr/lib/systemd/system/%s" % UNIT, status=2)
    seen["links"] = owner.type("find /etc/systemd -name 'switchpinctrl*'")
    owner.block("debian-purge")
    seen["left"] = no_trace(owner)
    return seen


def first_boot(owner):
    """A fleet's image, booted for the first time: the unit has run, with no command typed.
    Then a native build on it, whose tool switches the pins from inputs."""
    owner.login()
    seen = {"regs": owner.gpfsel(), "status": owner.block("status")[0], "times": unit_times(owner),
            "failed": owner.type("systemctl --failed --plain --no-legend")}
    owner.type(standin.TAKE_SOURCE)
    seed_inputs(owner)
    seen["seeded"] = owner.gpfsel()
    seen["native"] = owner.block("native-build")
    seen["which"], seen["built"] = owner.type("command -v switchPinCtrl"), owner.gpfsel()
    return seen


def seed_inputs(owner):
    """GPIO 7-11 back to inputs, as Raspberry Pi OS's tree leaves them, the rest as it is."""
    sudo = "" if owner.user == "root" else "sudo "
    for offset, value in enumerate(RASPIOS):
        owner.type("%sbusybox devmem 0x%08x 32 0x%08x" % (sudo, 0x20200000 + 4 * offset, value))


def pi_login(owner):
    owner.login(standin.RASPIOS_USER, standin.RASPIOS_PASSWORD)
    return {"regs": owner.gpfsel(), "unit": owner.show(UNIT, "LoadState", "ActiveState"),
            "failed": owner.type("systemctl --failed --plain --no-legend"),
            "journal": owner.type("journalctl -b -q --no-pager -u %s" % UNIT)}


def raspios(owner):
    """The board that stands for Raspberry Pi OS: its first user installs the armhf package
    and enables the unit with sudo; then removes the package and reboots."""
    owner.login()
    for command in standin.RASPIOS_SETUP:
        owner.type(command)
    owner.logout()
    seen = pi_login(owner)
    owner.type(standin.TAKE_PACKAGES)
    owner.block("raspios-install")
    seen["installed"] = owner.gpfsel(), owner.type("systemctl is-enabled %s" % UNIT, status=1)
    owner.block("raspios-enable")
    seen["enabled"], seen["status"] = owner.gpfsel(), owner.block("status")[0]
    seen["arch"] = owner.type("dpkg-query -W -f '${Architecture}' switchpinctrl")
    owner.block("raspios-remove")
    owner.type("sudo reboot")
    return seen


def reinstalled(owner):
    """The boot after removal: nothing ran and nothing failed. The package installed again
    is enabled, as the owner left it, and runs nothing until the next boot."""
    seen = pi_login(owner)
    owner.type(standin.TAKE_PACKAGES)
    owner.block("raspios-install")
    seen["installed"] = owner.gpfsel(), owner.type("systemctl is-enabled %s" % UNIT, status=None)
    owner.type("sudo reboot")
    return seen


def upgraded(owner):
    """The next boot switches the pins; the owner takes 7-11 back to inputs, and the upgrade
    leaves them so, and the unit as it was."""
    seen = pi_login(owner)
    seen["before"] = owner.show(UNIT, "ActiveState", "ExecMainExitTimestampMonotonic")
    seed_inputs(owner)
    owner.type(standin.TAKE_PACKAGES)
    seen["upgrade"] = owner.block("raspios-upgrade")
    seen["upgraded"] = owner.gpfsel()
    seen["after"] = owner.show(UNIT, "ActiveState", "ExecMainExitTimestampMonotonic")
    owner.type("sudo reboot")
    return seen


def purged(owner):
    """The boot after the upgrade: the new version switched the pins; purge leaves nothing."""
    seen = pi_login(owner)
    seen["version"] = owner.type("dpkg-query -W -f '${Version}' switchpinctrl")
    owner.block("raspios-purge")
    seen["left"] = no_trace(owner)
    return seen


def elsewhere(owner):
    """A board where the unit must not run the tool: what it says, and the pins."""
    owner.login()
    return {"unit": owner.show(UNIT, "ActiveState", "ConditionResult"),
            "status": owner.type("systemctl status %s" % UNIT, status=3),
            "failed": owner.type("systemctl --failed --plain --no-legend"), "regs": owner.gpfsel()}


# The longest line first: Raspberry Pi OS's, from install to purge.
BOOTS = [
    Boot("raspios", "system", "raspios", raspios),
    Boot("stock", "system", "debian", stock),
    Boot("reinstalled", "raspios", "raspios", reinstalled),
    Boot("upgraded", "reinstalled", "raspios", upgraded),
    Boot("purged", "upgraded", "raspios", purged),
    Boot("after-step", "stock", "debian", after_step),
    Boot("first-boot", "fleet", "debian", first_boot),
    Boot("pi-2", "stock", "pi-2", elsewhere),
    Boot("spi", "stock", "spi0-kernel", elsewhere),
]


def make_packages(source):
    """The owner's PC makes the packages in `source` with the README's own commands."""
    for command in README.commands("pc", "package"):
        done = subprocess.run(command, shell=True, cwd=source, capture_output=True, text=True)
        if done.returncode != 0:
            raise Failure("%r failed (status %d):\n%s" % (command, done.returncode, done.stderr[-3000:]))
    return sorted(glob.glob(os.path.join(source, "build", "board", "switchpinctrl_*.deb")))


def upgrade_version():
    """The version that the README's upgrade installs."""
    return re.search(r"switchpinctrl_([^_]+)_armhf\.deb", README.block("board", "raspios-upgrade")[0]).group(1)


def newer_version(source, work):
    """The armhf package of the version that the README's upgrade installs, made from a copy
    of `source` with a changelog entry of that version (the runtime copied, not built again)."""
    version = upgrade_version()
    tree = copy_tree(source, os.path.join(work, "switchPinCtrl-" + version))
    shutil.copytree(os.path.join(source, "build", "board", "runtime"), os.path.join(tree, "build", "board", "runtime"))
    changelog = os.path.join(tree, "debian", "changelog")
    with open(changelog) as f:
        older = f.read()
    with open(changelog, "w") as f:
        f.write("switchpinctrl (%s) unstable; urgency=medium\n\n  * The same program, a newer version.\n\n"
                " -- switchPinCtrl developers <dev@switchpinctrl.invalid>  %s\n\n%s"
                % (version, email.utils.formatdate(), older))
    return [deb for deb in make_packages(tree) if deb.endswith("_%s_armhf.deb" % version)]


@pytest.fixture(scope="module")
def seen(option, tmp_path_factory):
    source, cache, oldcalls = option("--source"), option("--board-cache"), option("--oldcalls")
    debs = make_packages(source)
    armel = next(deb for deb in debs if deb.endswith("_armel.deb"))
    work = tmp_path_factory.mktemp("journeys")
    images = {"system": image.image(cache, oldcalls), "fleet": fleet.fleet_image(cache, oldcalls, armel)[0]}
    files = [*debs, *newer_version(source, str(work)), provision.prepare(cache).sudo,
             copy_tree(source, str(work / "switchPinCtrl"))]
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


def test_remove_and_purge(seen):
    """Removal takes the files and keeps the owner's choice, the link that systemd ignores
    while the unit is gone; purge leaves no trace."""
    step = seen["after-step"]
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


def test_native_build_switches_the_pins(seen):
    """The README's native build on the board, and the tool it built switches the pins."""
    first = seen["first-boot"]
    assert (first["seeded"], first["built"]) == (RASPIOS, SWITCHED)
    assert first["which"] == "/usr/local/sbin/switchPinCtrl\n"
    assert re.fullmatch(r"SPI mapped from 0x0x20204000 to 0x0x[0-9a-f]*000\n", first["native"][-1])


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


def test_every_owner_block_is_run(seen):
    """Every block of the README's owner sections was typed, run or compared by a journey."""
    assert README.unused() == []
