# SPDX-License-Identifier: MIT
"""What the emulated board needs from this machine and from Debian, each kept under the
cache rule: Debian's Raspberry Pi kernel with the Pi Zero's device tree and busybox, for
the tool's runs under an initramfs of the harness's, Debian's sudo, for the board that
stands for Raspberry Pi OS, and a copy of qemu-system-arm with the BCM2835's caches, for
every boot."""
import functools
import os
import re
import shutil
from collections import namedtuple

from .cache import cached, sha256
from .debian import image
from .host import Failure, helper, run

# ARM1176's FPSID then cache type in qemu-system-arm: QEMU 7.2 reports a 64 KiB data
# cache that needs page colouring, so the guest kernel refuses the tool's MAP_FIXED
# mappings. The BCM2835's real core has 16 KiB caches.
CACHE_TYPE_QEMU = bytes.fromhex("b5200141d220dd01")
CACHE_TYPE_BCM2835 = bytes.fromhex("5221151d")

Board = namedtuple("Board", "emulator kernel dtb busybox sudo")


def prepare(cache: str) -> Board:
    """The board's parts in `cache`, each made again when what it is made from changes."""
    env, packages = apt(cache), debian_packages(cache)
    kernel = cached(os.path.join(cache, "kernel"), packages, lambda folder: fetch_kernel(folder, packages, env))
    return Board(emulator(cache), os.path.join(kernel, "zImage"), os.path.join(kernel, "board.dtb"),
                 os.path.join(kernel, "busybox"), os.path.join(kernel, "sudo_armel.deb"))


@functools.cache  # its lists are brought up to date once a run
def apt(cache: str) -> dict[str, str]:
    """The environment in which apt-get fetches Debian's armel packages with an apt of its
    own in `cache` (tools/helpers.sh), each file checked against the archive's signed
    indexes: this machine's dpkg and apt are left as they are."""
    folder = os.path.join(cache, "apt")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "sources.list"), "w") as f:
        f.write("deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] %s %s main\n"
                % (image.debian_archive(), image.RELEASE))
    helper("private_apt", folder, 'APT::Architecture "armel";', 'APT::Architectures { "armel"; };')
    env = dict(os.environ, APT_CONFIG=os.path.join(folder, "apt.conf"))
    run("apt-get", "-qq", "update", env=env)
    return env


@functools.cache  # asking apt takes seconds, and its answer holds for a test run
def debian_packages(cache: str) -> dict[str, str]:
    """The kernel, busybox and sudo packages that apt would fetch now: file name and sha256."""
    env = apt(cache)
    depends = run("apt-cache", "depends", "linux-image-rpi", env=env).decode()
    found = re.search(r"Depends: (linux-image-\S+-rpi)", depends)
    if found is None:
        raise Failure("no armel Raspberry Pi kernel in Debian's lists:\n" + depends)
    uris = run("apt-get", "download", "--print-uris", found.group(1), "busybox-static", "sudo", env=env).decode()
    # 'URI' FILE SIZE SHA256:HASH
    return {fields[1]: fields[3] for fields in map(str.split, uris.splitlines())}


def fetch_kernel(folder: str, packages: dict[str, str], env: dict[str, str]) -> None:
    debs = os.path.join(folder, "debs")
    os.makedirs(debs)
    run("apt-get", "download", *(name.split("_")[0] for name in packages), cwd=debs, env=env)
    root = os.path.join(folder, "root")
    for deb in sorted(os.listdir(debs)):
        if deb.startswith("sudo_"):
            shutil.move(os.path.join(debs, deb), os.path.join(folder, "sudo_armel.deb"))
        else:
            run("dpkg-deb", "-x", os.path.join(debs, deb), root)
    (version,) = os.listdir(os.path.join(root, "lib/modules"))
    shutil.copy(os.path.join(root, "boot", "vmlinuz-" + version), os.path.join(folder, "zImage"))
    shutil.copy(os.path.join(root, "usr/lib/linux-image-" + version, "bcm2835-rpi-zero.dtb"),
                os.path.join(folder, "board.dtb"))
    shutil.copy(os.path.join(root, "bin/busybox"), os.path.join(folder, "busybox"))
    shutil.rmtree(root)
    shutil.rmtree(debs)


def emulator(cache: str) -> str:
    """The patched copy of this machine's qemu-system-arm, patched again whenever that changes."""
    return os.path.join(cached(os.path.join(cache, "qemu"), emulator_inputs(), patch_emulator), "qemu-system-arm")


def installed_emulator() -> str:
    found = shutil.which("qemu-system-arm")
    if found is None:
        raise Failure("qemu-system-arm is not installed (tools/deps test installs it)")
    return found


def emulator_inputs() -> dict[str, object]:
    path = installed_emulator()
    return {"emulator": path, "sha256": sha256(path), "qemu-system-arm": qemu_version(),
            "patch": (CACHE_TYPE_QEMU.hex(), CACHE_TYPE_BCM2835.hex())}


def qemu_version() -> str:
    return run("dpkg-query", "-W", "-f", "${Version}", "qemu-system-arm").decode()


def patch_emulator(folder: str) -> None:
    """A copy of qemu-system-arm whose ARM1176 reports the BCM2835's caches."""
    path = installed_emulator()
    with open(path, "rb") as f:
        emulator = bytearray(f.read())
    if emulator.count(CACHE_TYPE_QEMU) != 1:
        raise Failure("%s (qemu-system-arm %s) holds the ARM1176's FPSID and cache type %d times, not once: "
                      "this QEMU cannot be given the BCM2835's caches"
                      % (path, qemu_version(), emulator.count(CACHE_TYPE_QEMU)))
    at = emulator.find(CACHE_TYPE_QEMU) + 4
    emulator[at:at + 4] = CACHE_TYPE_BCM2835
    patched = os.path.join(folder, "qemu-system-arm")
    with open(patched, "wb") as f:
        f.write(emulator)
    os.chmod(patched, 0o755)
