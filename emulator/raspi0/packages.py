# SPDX-License-Identifier: MIT
"""The packages of the journeys: the release in dist/, which owners download; and those that
the owner's PC makes by the README's own commands, in copies of this repository: the version
of the build tree, its very bytes, and the newer one that the README's upgrade installs; each
kept under the cache rule."""
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


def made_once(source, tree):
    """Gives the copy `tree` what the PC at `source` keeps of its first build."""
    for folder in MADE_ONCE:
        shutil.copytree(os.path.join(source, folder), os.path.join(tree, folder))


def make_packages(tree):
    """The owner's PC makes the packages in `tree` with the README's own commands, in the
    owner's own environment; gives their paths."""
    for command in README.commands(*MAKE):
        done = subprocess.run(command, shell=True, cwd=tree, capture_output=True, text=True)
        if done.returncode != 0:
            raise Failure("%r failed (status %d):\n%s" % (command, done.returncode, done.stderr[-3000:]))
    return sorted(glob.glob(os.path.join(tree, "build", "board", "switchpinctrl_*.deb")))


def hashed_copy(source, target):
    """A copy of the repository at `source` in `target`, a new folder, and what it holds:
    path -> sha256."""
    copy_tree(source, target)
    files = sorted(os.path.relpath(os.path.join(d, f), target) for d, _, names in os.walk(target) for f in names)
    return {f: sha256(os.path.join(target, f)) for f in files}


def pc_packages(source, work, cache):
    """The packages made by the README's commands in a copy of `source`: the very bytes of
    the ones in its build tree, which the other suites test, or a Failure. The build tree
    itself is left alone for the tests that read it meanwhile. Kept in `cache`, and made
    again when the commands, the copy's files or the build tree's packages change."""
    tested = sorted(glob.glob(os.path.join(source, "build", "board", "switchpinctrl_*.deb")))
    tree = os.path.join(work, "pc")
    inputs = {"commands": README.commands(*MAKE), "tree": hashed_copy(source, tree),
              "tested": {os.path.basename(deb): sha256(deb) for deb in tested}}

    def make(folder):
        made_once(source, tree)
        for deb in make_packages(tree):
            shutil.copy(deb, folder)

    folder = cached(os.path.join(cache, "pc-packages"), inputs, make)
    debs = sorted(glob.glob(os.path.join(folder, "switchpinctrl_*.deb")))
    for deb in tested:
        made = os.path.join(folder, os.path.basename(deb))
        if not os.path.exists(made) or sha256(made) != sha256(deb):
            raise Failure("the README's commands made %s, not the bytes of %s" % (made, deb))
    if len(debs) != len(tested):
        raise Failure("the README's commands made %s, the build tree %s" % (debs, tested))
    return debs


def release(source):
    """The packages of the release in `source`'s dist/, which owners download and copy to
    the card: architecture -> path."""
    found = {re.sub(r".*_", "", os.path.basename(deb))[:-len(".deb")]: deb
             for deb in glob.glob(os.path.join(source, "dist", "switchpinctrl_*.deb"))}
    if sorted(found) != ["armel", "armhf"]:
        raise Failure("dist/ holds no armhf and armel packages: %s" % sorted(found))
    return found


def upgrade_version():
    """The version that the README's upgrade installs."""
    return re.search(r"switchpinctrl_([^_]+)_armhf\.deb", README.block("board", "raspios-upgrade")[0]).group(1)


def newer_version(source, work, cache, older):
    """The armhf package of the version that the README's upgrade installs, made from a copy
    of `source` with a changelog entry of that version. The entry is dated as the one before
    it: the same source makes the same bytes. Kept in `cache`, and made again when the
    copy's files or the older package `older`, which the same toolchain made, change."""
    version = upgrade_version()
    tree = os.path.join(work, "switchPinCtrl-" + version)
    inputs = {"version": version, "older": sha256(older), "tree": hashed_copy(source, tree)}
    name = "switchpinctrl_%s_armhf.deb" % version

    def make(folder):
        made_once(source, tree)
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
