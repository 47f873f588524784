# SPDX-License-Identifier: MIT
"""The owner at the serial console of one boot: logs in, types, the README's own blocks
among it, and reads the board from outside through QEMU's monitor."""
import time
from dataclasses import dataclass

from .console import COMMAND_TIMEOUT, powers_off
from .host import Failure
from .machine import Machine
from .readme import Readme
from .soc import seed_commands

# What `systemctl show` is asked of a unit, in the order of Unit's fields.
UNIT_PROPERTIES = ["LoadState", "ActiveState", "ExecMainStartTimestampMonotonic", "ExecMainExitTimestampMonotonic",
                   "InactiveExitTimestampMonotonic", "ActiveEnterTimestampMonotonic"]


@dataclass(frozen=True)
class Unit:
    """A unit's states, and when, in µs of the board's monotonic clock (0: never), its main
    process started and ended, and it left inactive and entered active."""
    load: str
    active: str
    exec_start: int
    exec_exit: int
    inactive_exit: int
    active_enter: int


@dataclass(frozen=True)
class Ran:
    """A line of a README block, typed: what it printed, and how many seconds it took."""
    command: str
    output: str
    seconds: float


class Owner:
    """The owner at the console of one boot of `machine`, with the README `readme`.
    `blocks` holds the README's blocks typed so far, as (where, name)."""

    def __init__(self, machine: Machine, readme: Readme) -> None:
        self.machine, self.console, self.readme = machine, machine.console, readme
        self.off, self.user, self.blocks = False, "root", set[tuple[str, str]]()

    def login(self, user: str = "root", password: str | None = None) -> None:
        """Logs in at the console; the boot is over, so the pins are no longer watched."""
        self.console.login(user, password)
        self.machine.stop_watch()
        self.user = user

    def logout(self) -> None:
        self.console.send("exit")

    def answer(self, command: str) -> tuple[int, str]:
        """Types `command`; gives its status and what it printed."""
        status, output = self.console.run(command, None)
        return status, output

    def type(self, command: str, status: int = 0, timeout: float = COMMAND_TIMEOUT) -> str:
        """Types `command`; gives what it printed. Another status than `status` fails the
        boot at once, and so does a command that has not ended after `timeout` seconds."""
        output = self.console.run(command, status, timeout)
        if powers_off(command):
            self.machine.power_off()
            self.off = True
        return output or ""

    def block(self, name: str, timeout: float = COMMAND_TIMEOUT) -> list[Ran]:
        """Types the README's board block `name` line by line, each to end with status 0."""
        self.blocks.add(("board", name))
        ran = []
        for line in self.readme.commands("board", name):
            started = time.monotonic()
            ran.append(Ran(line, self.type(line, 0, timeout), time.monotonic() - started))
        return ran

    def command(self, name: str, status: int = 0) -> str:
        """Types the README's board block `name`, of one command, which must end with
        `status`; gives what it printed."""
        lines = self.readme.commands("board", name)
        if len(lines) != 1:
            raise Failure("the README's block %s holds %d commands, not one" % (name, len(lines)))
        self.blocks.add(("board", name))
        return self.type(lines[0], status)

    def sudo(self) -> str:
        """What comes before a command that needs root: nothing for root."""
        return "" if self.user == "root" else "sudo "

    def gpfsel(self) -> tuple[int, int]:
        gpfsel0, gpfsel1 = self.machine.gpfsel()
        return gpfsel0, gpfsel1

    def seed(self, regs: tuple[int, int]) -> None:
        """GPFSEL0/1 written from the board, with busybox's devmem."""
        for command in seed_commands(regs, self.sudo() + "busybox devmem"):
            self.type(command)

    def unit(self, name: str) -> Unit:
        lines = self.type("systemctl show %s -p %s" % (name, ",".join(UNIT_PROPERTIES))).splitlines()
        shown = dict(line.split("=", 1) for line in lines if "=" in line)
        # A unit without a main process, a target say, has no such times.
        return Unit(shown["LoadState"], shown["ActiveState"], *(int(shown.get(p, 0)) for p in UNIT_PROPERTIES[2:]))
