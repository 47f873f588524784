# SPDX-License-Identifier: MIT
"""The emulated board's serial console, with the harness as the owner at it: it waits
for what the board prints, logs in, types a command and reads what it printed and how it
ended. It fails at once where the guest has plainly failed, rather than at the timeout."""
import codecs
import contextlib
import os
import queue
import re
import subprocess
import threading
import time
from typing import Any, NamedTuple

from .host import Failure
from .standin import SESSION

# A guest that shows one of these will never show what is waited for. "Kernel panic"
# also matches the panic's closing line, "---[ end Kernel panic".
FAILURES = ["Kernel panic", "You are in emergency mode", "Give root password for maintenance"]
# systemd says so when the boot has ended; a login prompt that has not come by then
# follows within seconds, or never.
BOOTED = re.compile(r"Reached target .*(Multi-User System|Graphical Interface)")
LOGIN_GRACE = 30
# A booting board prints something every few seconds; one that has printed nothing for
# this long has stalled (the emulated kernel, now and then, in its first seconds).
SILENCE = 60
# A command that prints nothing for this long has not hung on its own, by what these
# journeys type (the slowest, a compile, prints a line every few seconds): the emulated
# board has stalled, as now and then it does mid-journey too.
COMMAND_SILENCE = 150
# How long a typed command may take, unless the journey gives it longer.
COMMAND_TIMEOUT = 300
PROMPT = re.compile(r"@@(\d+) $")
# What the owner answers when a command asks.
ANSWERS = ((re.compile(r"Do you want to continue\? \[Y/n\] $"), "y"),)
# Commands after which the board goes down, as such or through sudo: the harness waits
# for the emulator to end instead of a prompt.
POWER = {"reboot", "poweroff"}


def powers_off(command: str) -> bool:
    return bool(set(command.split()[:2]) & POWER)
TAIL = 40
# How long the console is still read after a failure, for the lines that tell why.
AFTERWORDS = 1.0
# Colours and cursor movement of the boot's status lines, and carriage returns.
NOISE = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]|\x1b[()][0-9A-Za-z]|\r")


Mark = NamedTuple("Mark", [("name", str)])  # a place in the console's text (Console.mark)


class Silent(Failure):
    """The board stopped printing while it booted."""


class Console:
    """What the emulator `process` prints, read and kept in the file `log` as it comes; its own
    errors are in `emulator_log`. `text` holds everything so far, without carriage returns and
    colours, `at` is where the last wait ended, and `marks` places in `text` (mark)."""

    def __init__(self, process: subprocess.Popen[bytes], log: str, emulator_log: str | None = None):
        assert process.stdin and process.stdout, "the console is the emulator's standard input and output"
        self.process, self.stdin, self.stdout, self.log = process, process.stdin, process.stdout, log
        self.emulator_log, self.text, self.at, self.marks = emulator_log, "", 0, dict[str, int]()
        self._queue = queue.Queue[str | Mark | None]()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self) -> None:
        decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")
        try:
            with open(self.log, "ab", buffering=0) as log:
                while chunk := os.read(self.stdout.fileno(), 4096):
                    log.write(chunk)
                    self._queue.put(decoder.decode(chunk))
        finally:
            self._queue.put(None)

    def _more(self, timeout: float) -> bool:
        """Reads what has come; False once the emulator has gone. queue.Empty after `timeout`."""
        chunk = self._queue.get(timeout=max(0, timeout))
        if chunk is None:
            self._queue.put(None)
            return False
        if isinstance(chunk, Mark):
            self.marks.setdefault(chunk.name, len(self.text))
            return True
        self.text += chunk
        # An escape sequence may be cut between chunks: clean up to the last line's start.
        cut = self.text.rfind("\n", 0, len(self.text) - len(chunk)) + 1
        self.text = self.text[:cut] + NOISE.sub("", self.text[cut:])
        return True

    def mark(self, name: str) -> None:
        """Marks the console's text where it has come to now, as marks[name], from any
        thread: between what the emulator printed before and after."""
        self._queue.put(Mark(name))

    def tail(self) -> str:
        """The console's last lines, what it still had to say within AFTERWORDS included, the
        emulator's own after them, and where each is kept whole."""
        deadline = time.monotonic() + AFTERWORDS
        with contextlib.suppress(queue.Empty):
            while self._more(deadline - time.monotonic()):
                pass
        said = "the console's last lines (all of it in %s):\n%s" % (self.log, "\n".join(self.text.splitlines()[-TAIL:]))
        if self.emulator_log is None:
            return said
        with open(self.emulator_log, errors="replace") as f:
            own = f.read().splitlines()[-TAIL:]
        return said + "\nQEMU's own (%s):\n%s" % (self.emulator_log, "\n".join(own) or "nothing")

    def expect(self, pattern: str, timeout: float, answers: tuple[tuple[re.Pattern[str], str], ...] = (),
               booted: float | None = None, quiet: float | None = None) -> re.Match[str]:
        """The match of `pattern` (a regular expression) in what came after the last wait,
        answering each of `answers` ((pattern, reply)) as it shows. Where `booted` is a
        number of seconds, the board is booting: a match must come that soon after systemd
        says the boot ended, and SILENCE seconds without a word raise Silent; after the
        boot, `quiet` seconds without a word do."""
        wanted, deadline, heard, checked = re.compile(pattern), time.monotonic() + timeout, time.monotonic(), self.at
        while True:
            found = wanted.search(self.text, self.at)
            failed = next((f for f in FAILURES if f in self.text[max(0, checked - 100):]), None)
            if failed:
                raise Failure("the guest failed (%r) while waiting for %r; %s" % (failed, pattern, self.tail()))
            if found:
                self.at = found.end()
                return found
            for question, reply in answers:
                asked = question.search(self.text, self.at)
                if asked:
                    self.at = asked.end()
                    self.send(reply)
            # A line may come in pieces: look again from the start of the last one.
            if booted is not None and BOOTED.search(self.text, self.text.rfind("\n", 0, checked) + 1):
                deadline = min(deadline, time.monotonic() + booted)
                timeout, booted = booted, None
            checked = len(self.text)
            wait = deadline - time.monotonic()
            silence = SILENCE if booted is not None else quiet
            try:
                if silence is not None and time.monotonic() - heard > silence:
                    raise Silent("the board printed nothing for %d s while %s; %s"
                                 % (silence, "it booted" if booted is not None else "waiting for %r" % pattern,
                                    self.tail()))
                if not self._more(wait if silence is None else min(wait, silence)):
                    self.process.wait()
                    raise Failure("the emulator stopped (status %d) before %r; %s"
                                  % (self.process.returncode, pattern, self.tail()))
                heard = time.monotonic()
            except queue.Empty:
                if time.monotonic() < deadline:
                    continue
                raise Failure("no %r on the console within %d s; %s" % (pattern, timeout, self.tail())) from None

    def send(self, text: str) -> None:
        """A line to the guest's console, as typed."""
        self.stdin.write(text.encode() + b"\n")
        self.stdin.flush()

    def login(self, user: str | None = "root", password: str | None = None, timeout: float = 300) -> None:
        """Logs in at the getty's prompt (or, with `user` None, takes the shell the board
        gives), and sets the session up (SESSION)."""
        if user is not None:
            self.expect(r"login: $", timeout, booted=LOGIN_GRACE)
            self.send(user)
            if password is not None:
                self.expect(r"Password: $", 30)
                self.send(password)
        # Typed before the shell reads the line, it would be lost.
        self.expect(r"[#$] $", timeout, booted=None if user else LOGIN_GRACE)
        self.send(SESSION)
        self.expect(PROMPT.pattern, timeout)

    def run(self, command: str, status: int | None = 0, timeout: float = COMMAND_TIMEOUT) -> Any:
        """Types `command`, waits for the prompt after it, and gives what it printed (its
        typed echo left out). A status other than `status` fails at once; status None
        takes any, and gives (status, output)."""
        self.send(command)
        if powers_off(command):
            return None
        # The echo of the typed line ends at the first newline.
        self.expect(r"\n", 30)
        start = self.at
        prompt = self.expect(PROMPT.pattern, timeout, ANSWERS, quiet=COMMAND_SILENCE)
        output, got = self.text[start:prompt.start()], int(prompt.group(1))
        if status is None:
            return got, output
        if got != status:
            raise Failure("%r ended with status %d, not %d; %s" % (command, got, status, self.tail()))
        return output
