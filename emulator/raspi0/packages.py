# SPDX-License-Identifier: MIT
"""The packages that the owner's PC makes for the journeys, by the README's own commands, in
copies of this repository: the version that the README installs, the same bytes as the
build tree's, and the newer one that its upgrade installs."""
import glob
import os
import re
import shutil
import subprocess

from .cache import cached, sha256
from .host import Failure, helper
from .readme import README

# The README's block that makes the packages on a PC.
MAKE = ("pc", "package")
# What a PC that made the packages once has beside the repository's files: musl's source,
# fetched by tools/deps board, and the runtime built from it; copied, not made again.
MADE_ONCE = ["musl", "build/source", "build/board/runtime"]


def copy_tree(source, target):
    """The repository at `source`, as an owner copies it: git's files (tools/helpers.sh)."""
    helper("copy_tree", source, target)
    return target


def owners_copy(source, target):
    """A copy of the repository at `source`, with what a PC keeps of its first build."""
    copy_tree(source, target)
    for folder in MADE_ONCE:
        shutil.copytree(os.path.join(source, folder), os.path.join(target, folder))
    return target


def make_packages(tree):
    """The owner's PC makes the packages in `tree` with the README's own commands, in the
    owner's own environment; gives their paths."""
    for command in README.commands(*MAKE):
        done = subprocess.run(command, shell=True, cwd=tree, capture_output=True, text=True)
        if done.returncode != 0:
            raise Failure("%r failed (status %d):\n%s" % (command, done.returncode, done.stderr[-3000:]))
    return sorted(glob.glob(os.path.join(tree, "build", "board", "switchpinctrl_*.deb")))


def pc_packages(source, work):
    """The packages made by the README's commands in a copy of `source`: the very bytes of
    the ones in its build tree, which the other suites test, or a Failure. The build tree
    itself is left alone for the tests that read it meanwhile."""
    debs = make_packages(owners_copy(source, os.path.join(work, "pc")))
    for deb in debs:
        tested = os.path.join(source, "build", "board", os.path.basename(deb))
        if not os.path.exists(tested) or sha256(deb) != sha256(tested):
            raise Failure("the README's commands made %s, not the bytes of %s" % (deb, tested))
    return debs


def upgrade_version():
    """The version that the README's upgrade installs."""
    return re.search(r"switchpinctrl_([^_]+)_armhf\.deb", README.block("board", "raspios-upgrade")[0]).group(1)


def newer_version(source, work, cache, older):
    """The armhf package of the version that the README's upgrade installs, made from a copy
    of `source` with a changelog entry of that version. The entry is dated as the one before
    it: the same source makes the same bytes. Kept in `cache`, and made again when the
    copy's files or the older package `older`, which the same toolchain made, change."""
    version = upgrade_version()
    tree = copy_tree(source, os.path.join(work, "switchPinCtrl-" + version))
    files = sorted(os.path.relpath(os.path.join(d, f), tree) for d, _, names in os.walk(tree) for f in names)
    inputs = {"version": version, "older": sha256(older), "tree": {f: sha256(os.path.join(tree, f)) for f in files}}
    name = "switchpinctrl_%s_armhf.deb" % version

    def make(folder):
        shutil.rmtree(tree)
        owners_copy(source, tree)
        changelog = os.path.join(tree, "debian", "changelog")
        with open(changelog) as f:
            text = f.read()
        with open(changelog, "w") as f:
            f.write("switchpinctrl (%s) unstable; urgency=medium\n\n  * The same program, a newer version.\n\n"
                    " -- switchPinCtrl developers <dev@switchpinctrl.invalid>  %s\n\n%s"
                    % (version, re.search(r"^ -- .*>  (.+)$", text, re.M).group(1), text))
        made = [deb for deb in make_packages(tree) if os.path.basename(deb) == name]
        if not made:
            raise Failure("the README's commands made no %s" % name)
        shutil.copy(made[0], folder)

    return os.path.join(cached(os.path.join(cache, "upgrade"), inputs, make), name)
