# SPDX-License-Identifier: MIT
"""The packages that the owner's PC makes for the journeys, by the README's own commands:
the version that the README installs, and the newer one that its upgrade installs."""
import glob
import os
import re
import shutil
import subprocess

from .host import Failure, helper
from .readme import README

# The README's block that makes the packages on a PC.
MAKE = ("pc", "package")


def make_packages(source):
    """The owner's PC makes the packages in `source` with the README's own commands, in the
    owner's own environment; gives their paths."""
    for command in README.commands(*MAKE):
        done = subprocess.run(command, shell=True, cwd=source, capture_output=True, text=True)
        if done.returncode != 0:
            raise Failure("%r failed (status %d):\n%s" % (command, done.returncode, done.stderr[-3000:]))
    return sorted(glob.glob(os.path.join(source, "build", "board", "switchpinctrl_*.deb")))


def upgrade_version():
    """The version that the README's upgrade installs."""
    return re.search(r"switchpinctrl_([^_]+)_armhf\.deb", README.block("board", "raspios-upgrade")[0]).group(1)


def copy_tree(source, target):
    """The repository at `source`, as an owner copies it: git's files (tools/helpers.sh)."""
    helper("copy_tree", source, target)
    return target


def newer_version(source, work):
    """The armhf package of the version that the README's upgrade installs, made from a copy
    of `source` with a changelog entry of that version (musl's source and the runtime copied,
    not fetched or built again). The entry is dated as the one before it: the same source
    makes the same bytes."""
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
