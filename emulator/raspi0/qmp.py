# SPDX-License-Identifier: MIT
"""QEMU's machine protocol (QMP) on a unix socket: JSON commands and replies."""
import json
import os
import socket
import struct
import threading
import time
from collections.abc import Callable
from typing import Any, NoReturn

from .host import Failure

CONNECT_TIMEOUT = 30


class Qmp:
    """A QMP connection to the emulator whose status `poll` gives. Where it has gone or does
    not answer, the failure carries `tail()`: its last output, and where it is kept."""

    def __init__(self, path: str, poll: Callable[[], int | None], tail: Callable[[], str]):
        self.path, self.tail = path, tail
        deadline = time.monotonic() + CONNECT_TIMEOUT
        while True:
            if (status := poll()) is not None:
                self._fail("the emulator stopped (status %d) before its monitor answered" % status)
            sock = socket.socket(socket.AF_UNIX)
            try:
                sock.connect(path)
                break
            except OSError:
                sock.close()
                if time.monotonic() > deadline:
                    self._fail("QEMU's monitor did not answer at %s within %d s" % (path, CONNECT_TIMEOUT))
                time.sleep(0.05)
        sock.settimeout(CONNECT_TIMEOUT)
        self.stream, self.lock = sock.makefile("rwb"), threading.Lock()
        self._reply()  # the greeting
        self.execute("qmp_capabilities")

    def _fail(self, what: str) -> NoReturn:
        raise Failure("%s; %s" % (what, self.tail()))

    def _reply(self) -> dict[str, Any]:
        """The next message that is not an event."""
        while True:
            try:
                line = self.stream.readline()
            except OSError as e:
                self._fail("QEMU's monitor did not reply (%s)" % e)
            if not line:
                self._fail("QEMU's monitor closed")
            message = json.loads(line)
            if "event" not in message:
                return message

    def execute(self, command: str, **arguments: object) -> Any:
        """Runs a QMP command and gives its "return" value; one thread at a time."""
        with self.lock:
            self.stream.write(json.dumps({"execute": command, "arguments": arguments}).encode() + b"\n")
            self.stream.flush()
            reply = self._reply()
        if "error" in reply:
            self._fail("QMP %s: %s" % (command, reply["error"].get("desc", reply["error"])))
        return reply["return"]

    def words(self, address: int, count: int) -> tuple[int, ...]:
        """`count` 32-bit words of physical memory from `address`, as the bus gives them."""
        dump = "%s.words.%d" % (self.path, threading.get_ident())
        self.execute("pmemsave", val=address, size=4 * count, filename=dump)
        with open(dump, "rb") as f:
            data = f.read()
        os.unlink(dump)
        return struct.unpack("<%dI" % count, data)

    def trace(self, events: str, enable: bool) -> None:
        """Switches QEMU's trace events matching `events` on or off."""
        self.execute("trace-event-set-state", name=events, enable=enable)
