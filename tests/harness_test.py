# SPDX-License-Identifier: MIT
"""The emulated board's harness with stand-ins for the emulator: a board that has failed
fails the test at once, with its own words, and a changed emulator is patched again."""
import json
import os
import re
import subprocess
import time
from concurrent.futures import Future
from pathlib import Path

import pytest
from raspi0 import chains, console, firmware, provision
from raspi0.debian import image
from raspi0.console import Console
from raspi0.host import Failure
from raspi0.machine import Machine
from raspi0.readme import README, Readme

SOON = 10  # seconds; every wait here is 300 s or more


@pytest.mark.parametrize("said, then, reason", [
    ("Kernel panic - not syncing: VFS: Unable to mount root fs", "sleep 600", "'Kernel panic'"),
    ("qemu-system-arm: cannot load the kernel", "exit 1", "the emulator stopped (status 1)"),
    # The boot has ended, and no getty asks for a login on the serial line. systemd's line
    # comes in two pieces.
    ("[  OK  ] Reached target multi-user.target - Multi-", "sleep 1; echo 'User System.'; sleep 600", "within 2 s"),
    # The board stops printing while it boots.
    ("[    4.175547] printk: console [ttyAMA0] enabled", "sleep 600", "printed nothing for 2 s"),
], ids=["panic", "emulator-exits", "no-login-prompt", "stalled"])
def test_failed_board_fails_at_once(said: str, then: str, reason: str, monkeypatch: pytest.MonkeyPatch,
                                    tmp_path: Path) -> None:
    monkeypatch.setattr(console, "LOGIN_GRACE", 2)
    monkeypatch.setattr(console, "SILENCE", 2)
    process = subprocess.Popen(["sh", "-c", "echo booting; printf '%%s' '%s'; %s" % (said, then)],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    started, log = time.monotonic(), tmp_path / "console.log"
    try:
        with pytest.raises(Failure) as failure:
            Console(process, str(log)).login(timeout=300)
    finally:
        process.kill()
        process.wait()
    assert time.monotonic() - started < SOON
    assert all(words in str(failure.value) for words in (reason, said, str(log))), failure.value
    assert log.read_text().startswith("booting\n" + said)


def test_stalled_command_is_silent(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
    """A board that stops printing while a command runs has stalled (the journeys take such
    a boot once more), rather than a wait to the timeout."""
    monkeypatch.setattr(console, "COMMAND_SILENCE", 2)
    process = subprocess.Popen(["sh", "-c", 'read -r line; echo "$line"; echo Unpacking; sleep 600'],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    started = time.monotonic()
    try:
        with pytest.raises(console.Silent, match=r"(?s)printed nothing for 2 s.*Unpacking"):
            Console(process, str(tmp_path / "console.log")).run("apt-get install ./switchpinctrl.deb")
    finally:
        process.kill()
        process.wait()
    assert time.monotonic() - started < SOON


def test_runner_stops(tmp_path: Path) -> None:
    """An emulator that exits at once: its monitor never answers, and its log, named, says why."""
    emulator = tmp_path / "qemu-system-arm"
    emulator.write_text('#!/bin/sh\necho "qemu-system-arm: cannot load the kernel" >&2\nexit 1\n')
    emulator.chmod(0o755)
    started = time.monotonic()
    with pytest.raises(Failure, match=r"(?s)the emulator stopped \(status 1\).*%s.*cannot load the kernel"
                       % re.escape(str(tmp_path / "qemu.log"))):
        with Machine(str(emulator), "zImage", "board.dtb", "", str(tmp_path)):
            pass
    assert time.monotonic() - started < SOON


def test_changed_emulator_is_patched_again(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    installed = tmp_path / "bin" / "qemu-system-arm"
    installed.parent.mkdir()
    monkeypatch.setenv("PATH", "%s:%s" % (installed.parent, os.environ["PATH"]))

    def patched(binary: bytes) -> bytes:
        installed.write_bytes(binary)
        installed.chmod(0o755)
        with open(provision.emulator(str(tmp_path / "cache")), "rb") as f:
            return f.read()

    fpsid_and_caches = bytes.fromhex("b5200141" "5221151d")  # the ARM1176's FPSID, the BCM2835's 16 KiB caches
    assert patched(b"one" + provision.CACHE_TYPE_QEMU) == b"one" + fpsid_and_caches
    assert patched(b"two" + provision.CACHE_TYPE_QEMU) == b"two" + fpsid_and_caches
    with pytest.raises(Failure, match="qemu-system-arm %s" % re.escape(provision.qemu_version())):
        patched(b"three")
    # A failed patch leaves the last good copy in place.
    assert (tmp_path / "cache/qemu/qemu-system-arm").read_bytes() == b"two" + fpsid_and_caches


def test_readme_names_its_blocks_and_tells_the_unrun(tmp_path: Path) -> None:
    """A block is found by the marker before it; an owner's block that no journey took,
    named or not, is reported; others are not."""
    readme = tmp_path / "README.md"
    readme.write_text("## Raspberry Pi OS\n<!-- board: one -->\n```sh\nfirst  # why\n# a comment\n\nsecond\n```\n\n"
                      "  ```sh\n  unnamed\n  ```\n<!-- pc: two -->\n```sh\nlater\n```\n## On a PC\n```sh\nnot an owner's\n```\n")
    found = Readme(str(readme))
    assert found.commands("board", "one") == ["first  # why", "second"]
    assert found.unused({("board", "one")}) == [("Raspberry Pi OS", None, None, "unnamed"),
                                                ("Raspberry Pi OS", "pc", "two", "later")]
    with pytest.raises(Failure, match="0 blocks marked <!-- board: two -->"):
        found.block("board", "two")


def test_card_keeps_the_owners_of_the_root(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    """The card made from a root's tarball, as root or in a user namespace, by a user whose
    PATH is Debian's default, without the sbin folders that sfdisk, mkfs.vfat and mke2fs
    are in: the firmware partition holds /boot/firmware's files, the root's files keep their
    owners and modes, and /boot/firmware and /dev are left as empty mount points."""
    monkeypatch.setenv("PATH", "/usr/local/bin:/usr/bin:/bin")
    root = tmp_path / "root"
    (root / "boot/firmware").mkdir(parents=True)
    (root / "boot/firmware/config.txt").write_text("kernel=vmlinuz\n")
    (root / "etc").mkdir()
    (root / "etc/owned").write_text("secret\n")
    (root / "etc/owned").chmod(0o640)
    tarball, sd = tmp_path / "root.tar", tmp_path / "sd.img"
    subprocess.run(["tar", "-cf", tarball, "-C", root, "--owner=42", "--group=43", "--numeric-owner", "."], check=True)
    image.card(str(tarball), str(sd))
    assert firmware.read(str(sd), "config.txt") == "kernel=vmlinuz\n"
    table = json.loads(subprocess.run(["/sbin/sfdisk", "--json", sd], check=True, capture_output=True).stdout)
    part = "%s?offset=%d" % (sd, table["partitiontable"]["partitions"][1]["start"] * 512)

    def debugfs(request: str) -> str:
        return subprocess.run(["/sbin/debugfs", "-R", request, part], check=True, capture_output=True,
                              text=True).stdout
    owned = debugfs("stat /etc/owned")
    assert re.search(r"Mode: +0640", owned) and re.search(r"User: +42 +Group: +43", owned), owned
    for folder in ("/boot/firmware", "/dev"):
        names = [line.split("/")[5] for line in debugfs("ls -p " + folder).splitlines() if line.startswith("/")]
        assert names == [".", ".."], (folder, names)


def test_failed_boot_fails_its_chain_alone(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    """A boot that fails, or whose image could not be made, takes with it the boots that
    continue its card, and no other: the chain beside it is taken to its end."""
    (tmp_path / "system.img").write_bytes(b"card")
    unmade = Future[str]()
    unmade.set_exception(Failure("mmdebstrap failed"))

    def boot(emulator: str, card: str, step: chains.Boot, *_: object, **__: object) -> chains.Booted:
        if step.name == "a1":
            raise Failure("the guest failed")
        return chains.Booted()

    monkeypatch.setattr(chains, "boot", boot)
    steps = [chains.Boot(name, card, board, lambda owner: chains.Booted()) for name, card, board in [
        ("a1", "system", "debian"), ("a2", "a1", "debian"), ("b1", "system", "debian"), ("b2", "b1", "debian"),
        ("c1", "a1", "pi-2"), ("d1", "fleet", "debian")]]
    taken = chains.take("qemu", {"system": str(tmp_path / "system.img"), "fleet": unmade}, steps, README,
                        str(tmp_path / "work"))
    assert sorted(taken.records) == ["b1", "b2"]
    assert sorted(taken.failures) == ["a1", "a2", "c1", "d1"]
    assert "the guest failed" in taken.failures["a1"] and "mmdebstrap failed" in taken.failures["d1"]
    assert taken.failures["c1"].startswith("its card comes from the boot a1, which failed")
