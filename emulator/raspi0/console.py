# SPDX-License-Identifier: MIT
"""The emulated board's serial console: waits for a pattern, and fails at once where
the guest has plainly failed, rather than at the timeout."""
import queue
import re
import threading
import time

from .host import Failure

# A guest that shows one of these will never show what is waited for. "Kernel panic"
# also matches the panic's closing line, "---[ end Kernel panic".
FAILURES = ["Kernel panic", "You are in emergency mode", "Give root password for maintenance"]
TAIL = 40
# How long the console is still read after a failure, for the lines that tell why.
AFTERWORDS = 1.0


class Console:
    """The lines the emulator `process` prints (its own errors included), read as
    they come; `lines` holds every one read so far."""

    def __init__(self, process):
        self.process, self.lines = process, []
        self._queue = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        try:
            for raw in self.process.stdout:
                self._queue.put(raw.decode(errors="replace").rstrip("\r\n"))
        finally:
            self._queue.put(None)

    def _next(self, timeout):
        """The next line, None once the emulator has gone; queue.Empty after `timeout`."""
        line = self._queue.get(timeout=max(0, timeout))
        if line is not None:
            self.lines.append(line)
        return line

    def tail(self):
        return "\n".join(self.lines[-TAIL:])

    def last_words(self):
        """The last lines of an emulator that has stopped or failed, what it still had to say included."""
        self._drain(AFTERWORDS)
        return self.tail()

    def expect(self, pattern, timeout):
        """The match of the first line that matches `pattern` (a regular expression)."""
        wanted = re.compile(pattern)
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self._next(deadline - time.monotonic())
            except queue.Empty:
                raise Failure("no %r on the console within %d s; its last lines:\n%s" % (pattern, timeout, self.tail()))
            if line is None:
                self.process.wait()
                raise Failure("the emulator stopped (status %d) before %r; its last output:\n%s"
                              % (self.process.returncode, pattern, self.tail()))
            failed = next((f for f in FAILURES if f in line), None)
            if failed:
                raise Failure("the guest failed (%r) while waiting for %r; the console's last lines:\n%s"
                              % (failed, pattern, self.last_words()))
            found = wanted.search(line)
            if found:
                return found

    def _drain(self, seconds):
        deadline = time.monotonic() + seconds
        try:
            while self._next(deadline - time.monotonic()) is not None:
                pass
        except queue.Empty:
            pass

    def send(self, text):
        """A line to the guest's console."""
        self.process.stdin.write(text.encode() + b"\n")
        self.process.stdin.flush()
