# SPDX-License-Identifier: MIT
"""QEMU's raspi0 machine: an initramfs to boot, the boot itself with its console
fed line by line to the caller, and QEMU's monitor."""
import gzip
import os
import queue
import shutil
import socket
import subprocess
import threading
import time

from commands import Failure, run

CMDLINE = "console=ttyAMA0 panic=-1 quiet initcall_blacklist=bcm2835_power_driver_init cryptomgr.notests"
BOOT_TIMEOUT = 120
SHUTDOWN_TIMEOUT = 60
END_MARKER = "@@END"


def initramfs(cache, work, files):
    """A gzip'd cpio with busybox and `files`: guest path -> host path (str), copied
    and made executable, or contents (bytes)."""
    root = os.path.join(work, "root")
    for d in ("bin", "dev", "proc", "sys", "etc", "tmp"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    files = {"bin/busybox": os.path.join(cache, "busybox"),
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


def read_console(stream, lines):
    """Posts each line of the emulator's output, then None once it ends, however it ends."""
    try:
        for line in stream:
            lines.put(line)
    finally:
        lines.put(None)


class Monitor:
    """QEMU's human monitor on a unix socket."""

    def __init__(self, path, qemu):
        deadline = time.monotonic() + 30
        while True:
            if qemu.poll() is not None:
                raise EOFError
            try:
                self.sock = socket.socket(socket.AF_UNIX)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise Failure("QEMU's monitor did not answer at %s" % path)
                time.sleep(0.05)
        self.sock.settimeout(30)
        self._until_prompt()

    def _until_prompt(self):
        data = b""
        while not data.endswith(b"(qemu) "):
            chunk = self.sock.recv(4096)
            if not chunk:
                raise Failure("QEMU's monitor closed")
            data += chunk
        return data

    def command(self, text):
        """Runs a monitor command and gives what it printed."""
        self.sock.sendall(text.encode() + b"\n")
        reply = self._until_prompt().decode(errors="replace")
        return reply[:-len("(qemu) ")].split("\n", 1)[-1]


def boot(cache, work, initrd, cmdline, extra=(), on_line=None, dtb=None, powers_off=False, timeout=BOOT_TIMEOUT):
    """Boots the board, feeding each console line to on_line(line, monitor, answer),
    where answer() sends a line to the guest's console. Returns the console lines.
    After the end marker a guest that powers_off must end the emulator itself, as a
    clean shutdown does; any other is stopped."""
    monitor_path = os.path.join(work, "monitor.sock")
    cmd = [os.path.join(cache, "qemu-system-arm"), "-M", "raspi0", "-kernel", os.path.join(cache, "zImage"),
           "-dtb", dtb or os.path.join(cache, "board.dtb"), "-initrd", initrd, "-append", cmdline,
           "-display", "none", "-serial", "stdio", "-no-reboot",
           "-monitor", "unix:%s,server=on,wait=off" % monitor_path, *extra]
    qemu = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    lines = queue.Queue()
    threading.Thread(target=read_console, args=(qemu.stdout, lines), daemon=True).start()

    def answer():
        qemu.stdin.write(b"go\n")
        qemu.stdin.flush()

    console = []
    raw = b""
    finished = False
    deadline = time.monotonic() + timeout
    try:
        monitor = Monitor(monitor_path, qemu)
        while True:
            try:
                raw = lines.get(timeout=max(0.1, deadline - time.monotonic()))
            except queue.Empty:
                raise Failure("the board did not finish within %d s" % timeout)
            if raw is None:
                raise EOFError
            line = raw.decode(errors="replace").rstrip("\r\n")
            console.append(line)
            if line.startswith(END_MARKER):
                finished = True
                break
            if on_line:
                on_line(line, monitor, answer)
    except EOFError:
        # The emulator has gone: what it printed, its own errors included, says why.
        qemu.wait()
        while raw is not None:
            raw = lines.get()
            if raw is not None:
                console.append(raw.decode(errors="replace").rstrip("\r\n"))
        raise Failure("the emulator stopped (status %d) before the end marker; its last output:\n%s"
                      % (qemu.returncode, "\n".join(console[-40:])))
    except Failure as e:
        raise Failure("%s; the console's last lines:\n%s" % (e, "\n".join(console[-40:]))) from e
    finally:
        # busybox's poweroff -f does not always end QEMU: give it a moment, then stop
        # it. A system shutting down cleanly gets the time that takes.
        clean = powers_off and finished
        try:
            qemu.wait(timeout=SHUTDOWN_TIMEOUT if clean else 3)
        except subprocess.TimeoutExpired:
            qemu.kill()
            qemu.wait()
            if clean:
                raise Failure("the system did not power off within %d s" % SHUTDOWN_TIMEOUT)
    return console
