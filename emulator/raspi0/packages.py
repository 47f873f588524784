# SPDX-License-Identifier: MIT
"""What the boots' declarations ask of the owner's PC (Making): the release in dist/, which
owners download; the packages that the PC makes by the README's own commands, in copies of
this repository, the version of the build tree, its very bytes, and the newer one that the
README's upgrade installs, each kept under the cache rule; a copy of the repository; and
the images the boots start from."""
import glob
import os
import re
import shutil
import subprocess
from concurrent.futures import Future, ThreadPoolExecutor

from . import provision
from .cache import cached, sha256
from .chains import Need
from .debian import fleet, image
from .host import Failure, helper
from .readme import README

# The README's block that makes the packages on a PC.
MAKE = ("pc", "package")
# What a PC that made the packages once has beside the repository's files: musl's source,
# fetched by tools/deps board, and the runtime built from it; copied, not made again.
MADE_ONCE = ["musl", "build/source", "build/board/runtime"]


def copy_tree(source: str, target: str) -> str:
    """The repository at `source`, as an owner copies it: git's files (tools/helpers.sh)."""
    helper("copy_tree", source, target)
    return target


def made_once(source: str, tree: str) -> None:
    """Gives the copy `tree` what the PC at `source` keeps of its first build."""
    for folder in MADE_ONCE:
        shutil.copytree(os.path.join(source, folder), os.path.join(tree, folder))


def make_packages(tree: str) -> list[str]:
    """The owner's PC makes the packages in `tree` with the README's own commands, in the
    owner's own environment; gives their paths."""
    for command in README.commands(*MAKE):
        done = subprocess.run(command, shell=True, cwd=tree, capture_output=True, text=True)
        if done.returncode != 0:
            raise Failure("%r failed (status %d):\n%s" % (command, done.returncode, done.stderr[-3000:]))
    return sorted(glob.glob(os.path.join(tree, "build", "board", "switchpinctrl_*.deb")))


def hashed_copy(source: str, target: str) -> dict[str, str]:
    """A copy of the repository at `source` in `target`, a new folder, and what it holds:
    path -> sha256."""
    copy_tree(source, target)
    files = sorted(os.path.relpath(os.path.join(d, f), target) for d, _, names in os.walk(target) for f in names)
    return {f: sha256(os.path.join(target, f)) for f in files}


def pc_packages(source: str, work: str, cache: str) -> list[str]:
    """The packages made by the README's commands in a copy of `source`: the very bytes of
    the ones in its build tree, which the other suites test, or a Failure. The build tree
    itself is left alone for the tests that read it meanwhile. Kept in `cache`, and made
    again when the commands, the copy's files or the build tree's packages change."""
    tested = sorted(glob.glob(os.path.join(source, "build", "board", "switchpinctrl_*.deb")))
    tree = os.path.join(work, "pc")
    inputs = {"commands": README.commands(*MAKE), "tree": hashed_copy(source, tree),
              "tested": {os.path.basename(deb): sha256(deb) for deb in tested}}

    def make(folder: str) -> None:
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


def release(source: str) -> dict[str, str]:
    """The packages of the release in `source`'s dist/, which owners download and copy to
    the card: architecture -> path."""
    found = {re.sub(r".*_", "", os.path.basename(deb))[:-len(".deb")]: deb
             for deb in glob.glob(os.path.join(source, "dist", "switchpinctrl_*.deb"))}
    if sorted(found) != ["armel", "armhf"]:
        raise Failure("dist/ holds no armhf and armel packages: %s" % sorted(found))
    return found


def upgrade_version() -> str:
    """The version that the README's upgrade installs."""
    found = re.search(r"switchpinctrl_([^_]+)_armhf\.deb", README.block("board", "raspios-upgrade")[0])
    if not found:
        raise Failure("the README's upgrade names no armhf package")
    return found.group(1)


def dated(changelog: str) -> str:
    """The date of the changelog's newest entry."""
    found = re.search(r"^ -- .*>  (.+)$", changelog, re.M)
    if not found:
        raise Failure("debian/changelog's newest entry has no date")
    return found.group(1)


def newer_version(source: str, work: str, cache: str, older: str) -> str:
    """The armhf package of the version that the README's upgrade installs, made from a copy
    of `source` with a changelog entry of that version. The entry is dated as the one before
    it: the same source makes the same bytes. Kept in `cache`, and made again when the
    copy's files or the older package `older`, which the same toolchain made, change."""
    version = upgrade_version()
    tree = os.path.join(work, "switchPinCtrl-" + version)
    inputs = {"version": version, "older": sha256(older), "tree": hashed_copy(source, tree)}
    name = "switchpinctrl_%s_armhf.deb" % version

    def make(folder: str) -> None:
        made_once(source, tree)
        changelog = os.path.join(tree, "debian", "changelog")
        with open(changelog) as f:
            text = f.read()
        with open(changelog, "w") as f:
            f.write("switchpinctrl (%s) unstable; urgency=medium\n\n  * The same program, a newer version.\n\n"
                    " -- switchPinCtrl developers <dev@switchpinctrl.invalid>  %s\n\n%s"
                    % (version, dated(text), text))
        made = [deb for deb in make_packages(tree) if os.path.basename(deb) == name]
        if not made:
            raise Failure("the README's commands made no %s" % name)
        shutil.copy(made[0], folder)

    return os.path.join(cached(os.path.join(cache, "upgrade"), inputs, make), name)


class Making:
    """What the boots that a run takes declare, made on this PC as the owner makes it: the
    files their cards need (chains.Need) and the images they start from. `blocks` holds the
    owner's PC blocks typed for them, as (where, name)."""

    def __init__(self, source: str, work: str, cache: str, oldcalls: str) -> None:
        self.source, self.work, self.cache, self.oldcalls = source, work, cache, oldcalls
        self.blocks = set[tuple[str, str]]()
        self.fleet_made: Future[str] | None = None
        self.emulator = provision.emulator(cache)

    def files(self, needs: set[Need]) -> list[str]:
        """What goes onto every card's FAT partition, as the owner copies it there."""
        files = [*release(self.source).values()] if Need.RELEASE in needs else []
        if Need.SUDO in needs:
            files.append(provision.prepare(self.cache).sudo)
        if Need.NEWER in needs:
            self.blocks.add(MAKE)
            older = next(deb for deb in pc_packages(self.source, self.work, self.cache) if deb.endswith("_armhf.deb"))
            files.append(newer_version(self.source, self.work, self.cache, older))
        if Need.TREE in needs:
            files.append(copy_tree(self.source, os.path.join(self.work, "switchPinCtrl")))
        return files

    def images(self, names: set[str], pool: ThreadPoolExecutor) -> dict[str, "str | Future[str]"]:
        """The Debian system, and the fleet's image, made from it by the README's own hook
        with the release's package, in `pool`, while the first boots run."""
        images: dict[str, str | Future[str]] = {"system": image.image(self.cache, self.oldcalls)}
        if "fleet" in names:
            self.blocks.add(fleet.BLOCK)
            self.fleet_made = images["fleet"] = pool.submit(fleet.fleet_image, self.cache, self.oldcalls,
                                                            release(self.source)["armel"])
        return images

    def host_changes(self) -> list[str]:
        """What making the fleet's image changed of this machine's systemd."""
        if self.fleet_made is None:
            raise Failure("the fleet's image was not made in this run")
        return fleet.host_changes(self.fleet_made.result())
