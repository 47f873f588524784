# SPDX-License-Identifier: MIT
"""The owners' journeys on the emulated board's Debian system, each boot from its own card as
the Raspberry Pi's firmware boots it (firmware.py). The harness is the owner at the serial
console: it logs in and types, the README's own blocks among it (readme.py). A boot is
judged from outside: what the console showed, GPFSEL0/1 read through QEMU's monitor, and
the card's files once the board is off."""
import os
import shutil
import subprocess
import time
from collections import namedtuple
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait

from . import firmware, saved
from .console import COMMAND_TIMEOUT, Silent, powers_off
from .host import Failure, run
from .machine import Machine

# One boot: `journey(owner)` gives what it saw, a dict, at `board` (standin.BOARDS), on a
# copy of the card that `card` names: an image's, or what an earlier boot of that name left.
# With `resume`, the journey's first act is root's login on a fresh card of an image, and it
# may start from the state saved just after that login (saved.py).
Boot = namedtuple("Boot", "name card board journey resume", defaults=(False,))
LANES = 2  # boards side by side: this machine's two cores


class Owner:
    """The owner at the console of one boot of `machine`, with the README `readme`."""

    def __init__(self, machine, readme, restored=False, save=None):
        self.machine, self.console, self.readme = machine, machine.console, readme
        self.off, self.user, self.took = False, None, []
        self.restored, self.save = restored, save

    def login(self, user="root", password=None):
        """Logs in at the console. On a board restored from a saved state, root is logged
        in already; a board that is to be saved is saved just after root's login."""
        if self.restored and self.user is None and user == "root":
            self.user = user
            self.console.wake()
            return
        self.console.login(user, password)
        self.user = user
        if self.save:
            if user != "root":
                raise Failure("a board is saved just after root's login, not %s's" % user)
            self.save()
            self.save = None

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

    def block(self, name, status=(), timeout=COMMAND_TIMEOUT):
        """Types the README's board block `name`, line by line; gives what each printed,
        and leaves in `took` how many seconds each took. `status` gives the statuses that
        are not 0, by line; `timeout` is each line's."""
        status, outputs, self.took = dict(status), [], []
        for n, line in enumerate(self.readme.commands("board", name)):
            started = time.monotonic()
            outputs.append(self.type(line, status.get(n, 0), timeout))
            self.took.append(time.monotonic() - started)
        return outputs

    def gpfsel(self):
        return self.machine.gpfsel()

    def show(self, unit, *properties):
        """systemctl show's `properties` of `unit`, as a dict."""
        lines = self.type("systemctl show %s -p %s" % (unit, ",".join(properties))).splitlines()
        return dict(line.split("=", 1) for line in lines if "=" in line)


def boot(emulator, card, board, journey, readme, work, machines, last=False, resume=None):
    """Boots the system from `card` as `board` and has the owner take `journey`; gives
    what it saw, with the boot's command line, the card's cmdline.txt once it is off, the
    boot's time here in seconds, when the pins were first set (Machine.first_set), and
    whether it was restored. With `resume`, (folder, the card's sha256), the board starts
    from the state saved in that folder for this very card, board and emulator; where
    there is none, it boots, and is saved there once root has logged in. The owner powers
    the board off unless the journey did, or, where no later boot takes the card (`last`),
    pulls its plug. `machines` lists the running boards; None in it says that another boot
    has failed."""
    os.makedirs(work, exist_ok=True)
    kernel, initrd, tree, cmdline = firmware.boot_files(card, work, board)
    options = (emulator, kernel, tree, cmdline, work, initrd, ["-drive", "file=%s,if=sd,format=raw,cache=unsafe" % card])
    state = save = None
    if resume:
        folder, card_sha256 = resume
        what = saved.stamp(card_sha256, board, emulator, Machine(*options).options)
        state = saved.find(folder, what)
        if state:
            run("cp", "--sparse=always", os.path.join(folder, saved.CARD), card)
    started = time.monotonic()
    with Machine(*options, watch=True, incoming=state) as machine:
        machines.append(machine)
        if None in machines:
            raise Failure("another boot failed")
        if resume and not state:
            def save():
                saved.save(machine, card, folder, what)
        owner = Owner(machine, readme, bool(state), save)
        seen = journey(owner)
        if last:
            machine.process.kill()
        elif not owner.off:
            owner.type("poweroff" if owner.user == "root" else "sudo poweroff")
    seen.update(cmdline=cmdline, cmdline_txt=firmware.read(card, "cmdline.txt").strip(),
                seconds=time.monotonic() - started, pins_first_set=machine.first_set, restored=bool(state))
    return seen


def journeys(emulator, images, boots, readme, work, files=(), saves=None):
    """Takes every boot of `boots`, in order as far as their cards allow, LANES at a time;
    gives boot name -> what it saw. `images`: name -> a card image, which each boot copies;
    `files` go onto every image's FAT partition first. A boot with `resume` keeps its saved
    state in `saves`, in a folder of its name. A boot that fails ends the others; one
    whose board stalled, while booting or in a command (console.Silent), is taken once
    more, on a fresh copy of its card, and what it saw says so ("stalled"), but a second
    stall in the run fails it."""
    os.makedirs(work, exist_ok=True)
    cards, seen, machines = {}, {}, []
    if {b.name for b in boots} & set(images):
        raise Failure("boots and images share names: %s" % " ".join({b.name for b in boots} & set(images)))
    for name, image in images.items():
        cards[name] = os.path.join(work, "image-%s.img" % name)
        run("cp", "--sparse=always", image, cards[name])
        for path in files:
            firmware.put(cards[name], path)
    digests = {b.card: saved.card_digest(images[b.card], files)
               for b in boots if b.resume and saves and b.card in images}
    pending, running, continued, stalled = list(boots), {}, {b.card for b in boots}, {}
    with ThreadPoolExecutor(LANES) as pool:
        try:
            while pending or running:
                # A boot's card is ready once the boot it continues has ended.
                for b in [b for b in pending if b.card in images or b.card in seen][:LANES - len(running)]:
                    pending.remove(b)
                    cards[b.name] = os.path.join(work, b.name + ".img")
                    run("cp", "--sparse=always", cards[b.card], cards[b.name])
                    resume = (os.path.join(saves, b.name), digests[b.card]) if b.card in digests else None
                    running[pool.submit(boot, emulator, cards[b.name], b.board, b.journey, readme,
                                        os.path.join(work, b.name), machines, b.name not in continued, resume)] = b
                if not running:
                    raise Failure("no card for %s" % ", ".join(b.name for b in pending))
                done, _ = wait(running, return_when=FIRST_COMPLETED)
                for future in done:
                    b = running.pop(future)
                    try:
                        seen[b.name] = dict(future.result(), stalled=stalled.get(b.name))
                    except Silent as e:
                        # Not expected since the emulator's clock follows its instructions
                        # (machine.CLOCK): taken again once, said, and never hidden twice.
                        if stalled:
                            raise Failure("a second boot stalled in one run (%s, after %s): the emulated "
                                          "board is not to be trusted here:\n%s" % (b.name, ", ".join(stalled), e))
                        print("the boot %s stalled and is taken again: %s" % (b.name, e), flush=True)
                        stalled[b.name] = str(e)
                        pending.insert(0, b)
        except BaseException:
            machines.append(None)
            for machine in machines[:-1]:
                machine.process.kill()
            raise
    return seen


def copy_tree(source, target):
    """The files of the repository at `source` that git does not ignore (all but the build
    trees, where it is no git checkout), copied to `target`, as an owner copies the
    repository to a board."""
    try:
        names = subprocess.run(["git", "-C", source, "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                               check=True, capture_output=True).stdout
        names = [n for n in names.decode().split("\0") if n]
    except (OSError, subprocess.CalledProcessError):
        names = [os.path.relpath(os.path.join(d, f), source) for d, dirs, fs in os.walk(source)
                 if not os.path.relpath(d, source).startswith(("build", ".git")) for f in fs]
    for name in filter(lambda n: os.path.isfile(os.path.join(source, n)), names):
        os.makedirs(os.path.dirname(os.path.join(target, name)), exist_ok=True)
        shutil.copy(os.path.join(source, name), os.path.join(target, name))
    return target

