#!/usr/bin/env python3
"""Runs a program on QEMU's raspi0 machine (BCM2835, ARM1176) under Debian's
Raspberry Pi kernel and a busybox initramfs, against the kernel's real /dev/mem.

  board.py run CACHE TOOL CASES RESULTS [--strict]
      CASES: one run a line, "NAME SEED0 SEED1 USER [ARG...]"; a seed of "-"
      leaves that register as the last run left it. RESULTS gets, for each
      run: its standard output (hex), exit status, GPFSEL0/GPFSEL1 before and
      after, and every GPIO/SPI0 bus access the run made. --strict boots
      without iomem=relaxed, so the kernel keeps the GPIO block to itself.
  board.py bench CACHE TOOL EMPTY
      Guest time of the tool, an empty program and a busybox devmem script,
      under deterministic instruction counting.

CACHE holds the kernel, busybox and the patched emulator; they are fetched
with apt-get and made on first use (Debian's armel architecture must be
enabled: tools/deps test does that).
"""
import gzip
import os
import queue
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

GPIO = (0x20200000, 0x202000B3)
SPI0 = (0x20204000, 0x20204FFF)
# Registers the tool never touches; reading them cuts each run's trace window.
MARK_BEFORE, MARK_AFTER = 0x20200038, 0x2020003C
# ARM1176's FPSID then cache type in qemu-system-arm: QEMU 7.2 reports a 64 KiB
# data cache that needs page colouring, so the guest kernel refuses the tool's
# MAP_FIXED mappings. The BCM2835's real core has 16 KiB caches.
CACHE_TYPE_QEMU = bytes.fromhex("b5200141d220dd01")
CACHE_TYPE_BCM2835 = bytes.fromhex("5221151d")
CMDLINE = "console=ttyAMA0 panic=-1 quiet initcall_blacklist=bcm2835_power_driver_init cryptomgr.notests"
BOOT_TIMEOUT = 120


def sh(*cmd, cwd=None):
    return subprocess.run(cmd, cwd=cwd, check=True, capture_output=True, text=True).stdout


def prepare(cache):
    """Kernel, device tree, busybox and the patched emulator, once per cache."""
    ready = os.path.join(cache, "ready")
    if os.path.exists(ready):
        return
    os.makedirs(cache, exist_ok=True)
    depends = sh("apt-cache", "depends", "linux-image-rpi:armel")
    kernel_pkg = re.search(r"Depends: (linux-image-\S+-rpi):armel", depends).group(1)
    debs = os.path.join(cache, "debs")
    shutil.rmtree(debs, ignore_errors=True)
    os.makedirs(debs)
    for attempt in range(3):  # a mirror's hiccup should not fail the tests
        try:
            sh("apt-get", "download", kernel_pkg + ":armel", "busybox-static:armel", cwd=debs)
            break
        except subprocess.CalledProcessError as e:
            if attempt == 2:
                raise SystemExit("board.py: apt-get download failed:\n" + e.stderr)
            time.sleep(5)
    root = os.path.join(cache, "root")
    shutil.rmtree(root, ignore_errors=True)
    for deb in sorted(os.listdir(debs)):
        sh("dpkg-deb", "-x", os.path.join(debs, deb), root)
    version = kernel_pkg[len("linux-image-"):]
    shutil.copy(os.path.join(root, "boot", "vmlinuz-" + version), os.path.join(cache, "zImage"))
    shutil.copy(os.path.join(root, "usr/lib/linux-image-" + version, "bcm2835-rpi-zero.dtb"),
                os.path.join(cache, "board.dtb"))
    shutil.copy(os.path.join(root, "bin/busybox"), os.path.join(cache, "busybox"))

    emulator = bytearray(open(shutil.which("qemu-system-arm"), "rb").read())
    if emulator.count(CACHE_TYPE_QEMU) != 1:
        sys.exit("board.py: this qemu-system-arm does not hold the ARM1176 cache type exactly once; "
                 "cannot set the BCM2835's")
    at = emulator.find(CACHE_TYPE_QEMU) + 4
    emulator[at:at + 4] = CACHE_TYPE_BCM2835
    patched = os.path.join(cache, "qemu-system-arm")
    with open(patched, "wb") as f:
        f.write(emulator)
    os.chmod(patched, 0o755)
    shutil.rmtree(root)
    open(ready, "w").write(kernel_pkg + "\n")


def initramfs(cache, work, programs, init):
    """A gzip'd cpio with busybox, the given programs in /bin and /init."""
    root = os.path.join(work, "root")
    for d in ("bin", "dev", "proc", "sys", "etc", "tmp"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    shutil.copy(os.path.join(cache, "busybox"), os.path.join(root, "bin/busybox"))
    for name, path in programs.items():
        shutil.copy(path, os.path.join(root, "bin", name))
        os.chmod(os.path.join(root, "bin", name), 0o755)
    open(os.path.join(root, "etc/passwd"), "w").write("root:x:0:0:root:/:/bin/sh\nnobody:x:65534:65534:nobody:/:/bin/sh\n")
    open(os.path.join(root, "etc/group"), "w").write("root:x:0:\nnogroup:x:65534:\n")
    open(os.path.join(root, "init"), "w").write(init)
    os.chmod(os.path.join(root, "init"), 0o755)
    files = subprocess.run(["find", "."], cwd=root, check=True, capture_output=True).stdout
    archive = subprocess.run(["cpio", "-o", "-H", "newc", "-R", "0:0", "--quiet"], cwd=root, input=files,
                             check=True, capture_output=True).stdout
    path = os.path.join(work, "initrd.gz")
    with open(path, "wb") as f:
        f.write(gzip.compress(archive))
    return path


INIT_HEAD = r"""#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
reg() { devmem "$1" 2>/dev/null || echo -; }
"""

INIT_RUN = r"""
# run NAME SEED0 SEED1 USER ARGS...: seeds, then waits for the host before and
# after the run so that it can switch the bus trace on and off.
run() {
    name=$1; s0=$2; s1=$3; user=$4; shift 4
    [ "$s0" = - ] || devmem 0x20200000 32 "$s0"
    [ "$s1" = - ] || devmem 0x20200004 32 "$s1"
    echo "@@RESULT $name before $(reg 0x20200000) $(reg 0x20200004)"
    echo "@@READY $name"; read -r _
    reg 0x20200038 >/dev/null
    if [ "$user" = root ]; then
        /bin/switchPinCtrl "$@" >/tmp/out 2>/tmp/err
    else
        su -s /bin/sh "$user" -c "/bin/switchPinCtrl $*" >/tmp/out 2>/tmp/err
    fi
    status=$?
    reg 0x2020003c >/dev/null
    echo "@@RAN $name"; read -r _
    echo "@@RESULT $name status $status"
    echo "@@RESULT $name out $(hexdump -v -e '/1 "%02x"' /tmp/out)"
    echo "@@RESULT $name err $(hexdump -v -e '/1 "%02x"' /tmp/err)"
    echo "@@RESULT $name after $(reg 0x20200000) $(reg 0x20200004)"
}
"""

INIT_TAIL = """echo "@@END"
poweroff -f
"""


class Monitor:
    """QEMU's human monitor on a unix socket."""

    def __init__(self, path):
        deadline = time.monotonic() + 30
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        self.sock.settimeout(30)
        self._until_prompt()

    def _until_prompt(self):
        data = b""
        while not data.endswith(b"(qemu) "):
            chunk = self.sock.recv(4096)
            if not chunk:
                raise RuntimeError("monitor closed")
            data += chunk

    def command(self, text):
        self.sock.sendall(text.encode() + b"\n")
        self._until_prompt()


def boot(cache, work, initrd, cmdline, extra=(), on_line=None):
    """Boots the board, feeding each console line to on_line(line, answer).
    Returns the console lines; stops the emulator at the end marker."""
    monitor_path = os.path.join(work, "monitor.sock")
    cmd = [os.path.join(cache, "qemu-system-arm"), "-M", "raspi0", "-kernel", os.path.join(cache, "zImage"),
           "-dtb", os.path.join(cache, "board.dtb"), "-initrd", initrd, "-append", cmdline,
           "-display", "none", "-serial", "stdio", "-no-reboot",
           "-monitor", "unix:%s,server=on,wait=off" % monitor_path, *extra]
    qemu = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(l) for l in qemu.stdout] and lines.put(None), daemon=True).start()
    monitor = Monitor(monitor_path)

    def answer():
        qemu.stdin.write(b"go\n")
        qemu.stdin.flush()

    console = []
    deadline = time.monotonic() + BOOT_TIMEOUT
    try:
        while True:
            try:
                raw = lines.get(timeout=max(0.1, deadline - time.monotonic()))
            except queue.Empty:
                raise RuntimeError("the board did not finish within %d s" % BOOT_TIMEOUT)
            if raw is None:
                raise RuntimeError("the emulator stopped before the end marker")
            line = raw.decode(errors="replace").rstrip("\r\n")
            console.append(line)
            if line.startswith("@@END"):
                break
            if on_line:
                on_line(line, monitor, answer)
    except RuntimeError as e:
        sys.stderr.write("\n".join(console[-40:]) + "\n")
        raise SystemExit("board.py: %s" % e)
    finally:
        # poweroff -f does not always end QEMU: give it a moment, then stop it.
        try:
            qemu.wait(timeout=3)
        except subprocess.TimeoutExpired:
            qemu.kill()
            qemu.wait()
    return console


def accesses(trace_path):
    """(kind, address, value) of every GPIO and SPI0 access in the trace."""
    pattern = re.compile(r"memory_region_ops_(read|write) .*addr 0x([0-9a-f]+) value 0x([0-9a-f]+)")
    found = []
    with open(trace_path, errors="replace") as f:
        for line in f:
            m = pattern.search(line)
            if m:
                addr = int(m.group(2), 16)
                if GPIO[0] <= addr <= GPIO[1] or SPI0[0] <= addr <= SPI0[1]:
                    found.append(("r" if m.group(1) == "read" else "w", addr, int(m.group(3), 16)))
    return found


def windows(found, names, strict):
    """Each run's accesses: between the two marker reads, or, where the kernel
    keeps the block from user space and no marker can be read, all of them."""
    if strict:
        if len(names) != 1:
            raise SystemExit("board.py: a strict boot takes exactly one run")
        return {names[0]: found}
    result, current = {}, None
    for kind, addr, value in found:
        if kind == "r" and addr == MARK_BEFORE:
            current = []
        elif kind == "r" and addr == MARK_AFTER and current is not None:
            result[names[len(result)]] = current
            current = None
        elif current is not None:
            current.append((kind, addr, value))
    if len(result) != len(names):
        raise SystemExit("board.py: found %d trace windows for %d runs" % (len(result), len(names)))
    return result


def run(cache, tool, cases_path, results_path, strict):
    prepare(cache)
    cases = [l.split() for l in open(cases_path) if l.strip()]
    names = [c[0] for c in cases]
    init = INIT_HEAD + INIT_RUN + "".join("run %s\n" % " ".join(c) for c in cases) + INIT_TAIL
    with tempfile.TemporaryDirectory() as work:
        initrd = initramfs(cache, work, {"switchPinCtrl": tool}, init)
        trace = os.path.join(work, "trace.log")
        cmdline = CMDLINE + ("" if strict else " iomem=relaxed")

        # Tracing the whole boot slows it enough to stall it now and then:
        # trace each run alone.
        def on_line(line, monitor, answer):
            if line.startswith("@@READY "):
                monitor.command("trace-event memory_region_ops_* on")
                answer()
            elif line.startswith("@@RAN "):
                monitor.command("trace-event memory_region_ops_* off")
                answer()

        console = boot(cache, work, initrd, cmdline, ["-D", trace], on_line)
        runs = windows(accesses(trace), names, strict)
    with open(results_path, "w") as out:
        for line in console:
            if line.startswith("@@RESULT "):
                out.write(line[len("@@RESULT "):] + "\n")
        for name in names:
            for kind, addr, value in runs[name]:
                out.write("%s access %s %#x %#x\n" % (name, kind, addr, value))


BENCH_SCRIPT = r"""#!/bin/sh
# GPIO 7-11 to alt0 the way a user would without the tool.
for g in 7 8 9 10 11; do
    reg=$((0x20200000 + g / 10 * 4))
    shift=$((g % 10 * 3))
    v=$(devmem $reg)
    devmem $reg 32 $(((v & ~(7 << shift)) | (4 << shift)))
done
"""


def bench(cache, tool, empty, repeat=5):
    prepare(cache)
    # The BCM2835 system timer counts microseconds of guest time.
    init = INIT_HEAD + r"""
time_it() {
    label=$1; shift
    for i in $(seq %d); do
        t0=$(devmem 0x20003004); "$@" >/dev/null; t1=$(devmem 0x20003004)
        echo "@@BENCH $label $((t1 - t0))"
    done
}
time_it empty /bin/empty
time_it switchPinCtrl /bin/switchPinCtrl
time_it devmem-script /bin/sh /bin/handover.sh
""" % repeat + INIT_TAIL
    with tempfile.TemporaryDirectory() as work:
        script = os.path.join(work, "handover.sh")
        open(script, "w").write(BENCH_SCRIPT)
        initrd = initramfs(cache, work, {"switchPinCtrl": tool, "empty": empty, "handover.sh": script}, init)
        console = boot(cache, work, initrd, CMDLINE + " iomem=relaxed", ["-icount", "shift=1,sleep=off"])
    times = {}
    for line in console:
        if line.startswith("@@BENCH "):
            _, label, us = line.split()
            times.setdefault(label, []).append(int(us))
    print("guest time of one run (median of %d, microseconds), -icount shift=1,sleep=off:" % repeat)
    for label, values in times.items():
        print("  %-14s %8d   (runs: %s)" % (label, sorted(values)[len(values) // 2], " ".join(map(str, values))))


def main(argv):
    if len(argv) in (6, 7) and argv[1] == "run" and argv[6:] in ([], ["--strict"]):
        run(argv[2], argv[3], argv[4], argv[5], strict=len(argv) == 7)
    elif len(argv) == 5 and argv[1] == "bench":
        bench(argv[2], argv[3], argv[4])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
