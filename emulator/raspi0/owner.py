# SPDX-License-Identifier: MIT
"""The owner at the serial console of one boot: logs in, types, the README's own blocks
among it, and reads the board from outside through QEMU's monitor."""
import time

from .console import COMMAND_TIMEOUT, powers_off


class Owner:
    """The owner at the console of one boot of `machine`, with the README `readme`.
    `blocks` holds the README's blocks typed so far, as (where, name)."""

    def __init__(self, machine, readme):
        self.machine, self.console, self.readme = machine, machine.console, readme
        self.off, self.user, self.took, self.blocks = False, None, [], set()

    def login(self, user="root", password=None):
        """Logs in at the console; the boot is over, so the pins are no longer watched."""
        self.console.login(user, password)
        self.machine.stop_watch()
        self.user = user

    def logout(self):
        """Ends the shell: the getty asks for a login again."""
        self.console.send("exit")

    def type(self, command, status=0, timeout=COMMAND_TIMEOUT):
        """Types `command`; gives what it printed. A status other than `status` fails the
        boot at once (None takes any, and gives (status, output)), and so does a command
        that has not ended after `timeout` seconds."""
        output = self.console.run(command, status, timeout)
        if powers_off(command):
            self.machine.power_off()
            self.off = True
        return output

    def answer(self, command):
        """Types `command`; gives its status and what it printed."""
        return self.console.run(command, None)

    def block(self, name, status=(), timeout=COMMAND_TIMEOUT):
        """Types the README's board block `name`, line by line; gives what each printed,
        and leaves in `took` how many seconds each took. `status` gives the statuses that
        are not 0, by line; `timeout` is each line's."""
        status, outputs, self.took = dict(status), [], []
        self.blocks.add(("board", name))
        for n, line in enumerate(self.readme.commands("board", name)):
            started = time.monotonic()
            outputs.append(self.type(line, status.get(n, 0), timeout))
            self.took.append(time.monotonic() - started)
        return outputs

    def sudo(self):
        """What comes before a command that needs root: nothing for root."""
        return "" if self.user == "root" else "sudo "

    def gpfsel(self):
        return self.machine.gpfsel()

    def show(self, unit, *properties):
        """systemctl show's `properties` of `unit`, as a dict."""
        lines = self.type("systemctl show %s -p %s" % (unit, ",".join(properties))).splitlines()
        return dict(line.split("=", 1) for line in lines if "=" in line)
