# SPDX-License-Identifier: MIT
"""What the owners type on the emulated board's Debian system, boot after boot, the README's
own blocks among it, and what each journey reads back for the tests to judge; and the
packages the owner's PC makes for them, by the README's commands. The boots in BOOTS
follow each other's cards (lifecycle.Boot)."""
import glob
import os
import re
import shutil
import subprocess

from . import standin
from .host import Failure
from .lifecycle import Boot, copy_tree
from .machine import GPFSEL0
from .readme import README

UNIT = "switchpinctrl.service"
# GPFSEL0/1 with GPIO 7-11 as inputs, the rest as Debian's hog leaves them: what the owner
# writes where a journey needs the pins unswitched.
INPUTS = (0x00064924, 0x24024000)
# How long each line of the package's build on the board may take: dpkg-buildpackage
# takes about 4 minutes on the emulated Pi Zero, where the console's other commands take
# seconds; a slower machine running the emulator may take a few times that.
BUILD_TIMEOUT = 1200


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
    seen = {"kernel": owner.gpfsel(), "pins": owner.block("debian-pins")[0]}
    owner.type(standin.TAKE_PACKAGES)
    seen["install"] = owner.block("debian-install")
    seen["installed"] = owner.gpfsel(), owner.type("systemctl is-enabled %s" % UNIT, status=1)
    seen["enable"] = owner.block("debian-enable", {0: 1})
    seen["refused"], seen["status"] = owner.gpfsel(), owner.block("status", {0: 3})[0]
    seen["man"] = owner.type("man switchPinCtrl | head -n 4")
    owner.block("debian-step")
    return seen


def ran_at_boot(owner):
    """Root logs in after a boot with the unit enabled: what it left."""
    owner.login()
    return {"regs": owner.gpfsel(), "status": owner.block("status")[0], "times": unit_times(owner)}


def remove_and_purge(owner):
    """Removal, which keeps the owner's choice, and purge, which forgets it."""
    owner.block("debian-remove")
    seen = {"files": owner.type("ls /usr/sbin/switchPinCtrl /usr/lib/systemd/system/%s" % UNIT, status=2),
            "links": owner.type("find /etc/systemd -name 'switchpinctrl*'")}
    owner.block("debian-purge")
    seen["left"] = no_trace(owner)
    return seen


def after_step(owner):
    """Debian's tree as the card has it, after the step: the unit runs; then removal and
    purge. Then the package built on the board from a copy of this repository, installed
    and enabled, which switches the pins from inputs at once; and a reboot."""
    seen = ran_at_boot(owner)
    seen.update(remove_and_purge(owner))
    owner.type(standin.TAKE_SOURCE)
    seen["build"] = owner.block("native-build", timeout=BUILD_TIMEOUT)
    seen["took"] = owner.took
    # Removal stopped the unit that ran at boot, so enabling it now runs the new tool.
    seed_inputs(owner)
    seen["enable"] = owner.block("debian-enable")
    seen["enabled"] = owner.gpfsel()
    owner.type("reboot")
    return seen


def native(owner):
    """The boot after the package was built on the board: its unit ran, and it is the
    board's own build, whose tool, typed, switches the pins from inputs; then removal and
    purge, and the step undone."""
    seen = ran_at_boot(owner)
    seen["package"] = owner.type("dpkg-query -W -f '${Architecture} ${Depends}' switchpinctrl")
    seed_inputs(owner)
    seen["seeded"] = owner.gpfsel()
    seen["typed"] = owner.type("switchPinCtrl"), owner.gpfsel()
    seen.update(remove_and_purge(owner))
    owner.block("debian-undo-step")
    return seen


def first_boot(owner):
    """A fleet's image, booted for the first time: the unit has run, with no command typed."""
    seen = ran_at_boot(owner)
    seen["failed"] = owner.type("systemctl --failed --plain --no-legend")
    return seen


def seed_inputs(owner):
    """GPIO 7-11 back to inputs, as Raspberry Pi OS's tree leaves them, the rest as it is."""
    sudo = "" if owner.user == "root" else "sudo "
    for offset, value in enumerate(INPUTS):
        owner.type("%sbusybox devmem 0x%08x 32 0x%08x" % (sudo, GPFSEL0 + 4 * offset, value))


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
    seen["pins"] = owner.block("raspios-pins")[0]
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


def pi_2(owner):
    """A Raspberry Pi 2: the unit skipped, and the tool, typed by root, refuses to write."""
    seen = elsewhere(owner)
    seen["typed"] = owner.type("switchPinCtrl", status=255), owner.gpfsel()
    return seen


# The longest line first: Raspberry Pi OS's, from install to purge. The two that start by
# logging in on a fresh card prove nothing about that boot, but they boot all the same: a
# board restored from its saved state (saved.py) met ext4 errors on its card at the first
# command, so no journey resumes until that is understood.
BOOTS = [
    Boot("raspios", "system", "raspios", raspios),
    Boot("stock", "system", "debian", stock),
    Boot("reinstalled", "raspios", "raspios", reinstalled),
    Boot("upgraded", "reinstalled", "raspios", upgraded),
    Boot("purged", "upgraded", "raspios", purged),
    Boot("after-step", "stock", "debian", after_step),
    Boot("native", "after-step", "debian", native),
    Boot("first-boot", "fleet", "debian", first_boot),
    Boot("pi-2", "stock", "pi-2", pi_2),
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
    of `source` with a changelog entry of that version (musl's source and the runtime copied,
    not fetched or built again). The entry is dated as the one before it: the same source
    makes the same bytes, and the card of the saved boards stays the same."""
    version = upgrade_version()
    tree = copy_tree(source, os.path.join(work, "switchPinCtrl-" + version))
    shutil.copytree(os.path.join(source, "musl"), os.path.join(tree, "musl"))
    shutil.copytree(os.path.join(source, "build", "board", "runtime"), os.path.join(tree, "build", "board", "runtime"))
    changelog = os.path.join(tree, "debian", "changelog")
    with open(changelog) as f:
        older = f.read()
    with open(changelog, "w") as f:
        f.write("switchpinctrl (%s) unstable; urgency=medium\n\n  * The same program, a newer version.\n\n"
                " -- switchPinCtrl developers <dev@switchpinctrl.invalid>  %s\n\n%s"
                % (version, re.search(r"^ -- .*>  (.+)$", older, re.M).group(1), older))
    return [deb for deb in make_packages(tree) if deb.endswith("_%s_armhf.deb" % version)]
