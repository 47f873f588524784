# SPDX-License-Identifier: MIT
"""QEMU's raspi0 machine: one boot, with its serial console and its QMP monitor, and
the initramfs images that the harness boots it with."""
import gzip
import os
import shutil
import subprocess
import threading
import time
from collections.abc import Mapping, Sequence

from .console import Console
from .host import Failure, run
from .qmp import Qmp
from .soc import GPFSEL0, spi0_in_alt0

# How long a guest that has said its last word may take to power off: a system
# shutting down cleanly needs that; busybox's poweroff -f does not always end QEMU.
POWER_OFF_TIMEOUT = 60
GRACE = 3
# QEMU's virtual clock, which the BCM2835's system timer counts, follows the instructions
# run, not this machine's time. Otherwise a guest preempted here between reading the
# counter and writing a compare register, about 15 µs apart at most on a real board, can
# find the compare already passed: QEMU's timer then fires only when the 32-bit counter
# comes round again, 71 minutes on, and the board falls silent (more often with two
# boards side by side and compilers beside them). "auto" keeps that clock near real time.
CLOCK = ["-icount", "shift=auto"]
# How often a watched boot's GPFSEL0/1 are read from outside.
WATCH_INTERVAL = 0.02
# The console's mark where GPIO 7-11 were first seen in alternate function 0 (watch).
SPI0_SWITCHED = "spi0-switched"


class Machine:
    """One boot of the emulated board, as a context manager: `console` and `qmp` talk
    to it while it runs; leaving the block stops the emulator unless it has powered
    off (see power_off). With `watch`, GPFSEL0/1 are polled from outside until GPIO 7-11
    are in alternate function 0, which marks the console there (SPI0_SWITCHED), or until
    stop_watch(): on the console's timeline, when the pins were switched. The console and
    QEMU's own messages are kept in `work`, as console.log and qemu.log, written as they come."""

    def __init__(self, emulator: str, kernel: str, dtb: str, cmdline: str, work: str, initrd: str | None = None,
                 extra: Sequence[str] = (), watch: bool = False, clock: Sequence[str] | None = None):
        self.watching, self.work = watch, work
        self.qmp_path = os.path.join(work, "qmp.sock")
        self.cmd = [emulator, "-M", "raspi0", "-kernel", kernel, "-dtb", dtb, "-append", cmdline,
                    "-display", "none", "-serial", "stdio", "-no-reboot",
                    "-qmp", "unix:%s,server=on,wait=off" % self.qmp_path, *(CLOCK if clock is None else clock), *extra]
        if initrd:
            self.cmd += ["-initrd", initrd]

    def __enter__(self) -> "Machine":
        log = os.path.join(self.work, "qemu.log")
        with open(log, "wb") as own:
            self.process = subprocess.Popen(self.cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=own)
        self.console = Console(self.process, os.path.join(self.work, "console.log"), log)
        try:
            self.qmp = Qmp(self.qmp_path, self.process.poll, self.console.tail)
        except BaseException:
            self.__exit__()
            raise
        if self.watching:
            threading.Thread(target=self._watch, daemon=True).start()
        return self

    def _watch(self) -> None:
        try:
            while self.watching and self.process.poll() is None:
                if spi0_in_alt0(self.gpfsel()):
                    self.console.mark(SPI0_SWITCHED)
                    return
                time.sleep(WATCH_INTERVAL)
        except Failure:  # the emulator has gone: the boot says why
            pass

    def stop_watch(self) -> None:
        self.watching = False

    def __exit__(self, *_: object) -> None:
        try:
            self.process.wait(timeout=GRACE)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()

    def gpfsel(self) -> tuple[int, ...]:
        """GPFSEL0 and GPFSEL1, read from outside the guest through QEMU's monitor."""
        return self.qmp.words(GPFSEL0, 2)

    def power_off(self) -> None:
        """Waits for a guest that is shutting down to end the emulator."""
        try:
            self.process.wait(timeout=POWER_OFF_TIMEOUT)
        except subprocess.TimeoutExpired:
            raise Failure("the board did not power off within %d s; %s" % (POWER_OFF_TIMEOUT, self.console.tail()))


def initramfs(busybox: str, work: str, files: Mapping[str, str | bytes]) -> str:
    """A gzip'd cpio with busybox and `files`: guest path -> host path (str), copied
    and made executable, or contents (bytes)."""
    root = os.path.join(work, "initramfs")
    for d in ("bin", "dev", "proc", "sys", "etc", "tmp"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    files = {"bin/busybox": busybox,
             "etc/passwd": b"root:x:0:0:root:/:/bin/sh\nnobody:x:65534:65534:nobody:/:/bin/sh\n",
             "etc/group": b"root:x:0:\nnogroup:x:65534:\n", **files}
    for guest, source in files.items():
        path = os.path.join(root, guest)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if isinstance(source, bytes):
            with open(path, "wb") as f:
                f.write(source)
        else:
            shutil.copy(source, path)
            os.chmod(path, 0o755)
    listing = run("find", ".", cwd=root)
    archive = run("cpio", "-o", "-H", "newc", "-R", "0:0", "--quiet", cwd=root, stdin=listing)
    path = os.path.join(work, "initrd.gz")
    with open(path, "wb") as f:
        f.write(gzip.compress(archive))
    return path
