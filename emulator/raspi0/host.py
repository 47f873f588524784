# SPDX-License-Identifier: MIT
"""Commands of the building machine, and the harness's one way to fail."""
import os
import pwd
import subprocess


class Failure(Exception):
    """What went wrong, with the failing command's or the emulator's own words."""


# Where Debian puts the administrator's tools that the harness runs (sfdisk, mkfs.vfat,
# mke2fs, debugfs): an ordinary user's PATH on Debian has none of them.
SBIN = ["/usr/local/sbin", "/usr/sbin", "/sbin"]
# The shell functions that the project's scripts share (tools/helpers.sh).
HELPERS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "tools", "helpers.sh")


def run(*cmd: str, cwd: str | None = None, stdin: bytes | None = None, env: dict[str, str] | None = None) -> bytes:
    """Runs cmd with `env` (this process's environment by default), found in its PATH or else
    the sbin folders, and gives its standard output; a failure carries the end of its stderr."""
    env = dict(os.environ if env is None else env)
    path = env.get("PATH", os.defpath).split(os.pathsep)
    env["PATH"] = os.pathsep.join(path + [folder for folder in SBIN if folder not in path])
    try:
        return subprocess.run(cmd, cwd=cwd, input=stdin, env=env, check=True, capture_output=True).stdout
    except FileNotFoundError as e:
        raise Failure("%s: not found" % cmd[0]) from e
    except subprocess.CalledProcessError as e:
        stderr = e.stderr.decode(errors="replace").rstrip().split("\n")
        raise Failure("%s failed (status %d):\n%s" % (" ".join(cmd), e.returncode, "\n".join(stderr[-60:]))) from e


def helper(*cmd: str, env: dict[str, str] | None = None) -> bytes:
    """Runs one of tools/helpers.sh's functions with its arguments; gives its standard output."""
    return run("sh", "-c", '. "$0" && "$@"', HELPERS, *cmd, env=env)


def mtools(*cmd: str) -> bytes:
    """Runs an mtools command on a FAT image, which mtools would otherwise check as if it
    were a floppy disk's."""
    return run(*cmd, env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))


# The ids a user namespace gives the system's users other than root: what a Debian system
# needs, and what Debian's useradd gives a new user.
SUBORDINATE_IDS = 65536


def as_root(*cmd: str) -> list[str]:
    """`cmd`, made to run as root over the files it makes: as it is where the caller is
    root; otherwise in a user namespace where the caller is root and its subordinate ids
    are the other users (newuidmap, newgidmap), so that files keep their owners."""
    if os.geteuid() == 0:
        return list(cmd)
    user = pwd.getpwuid(os.getuid()).pw_name
    maps = []
    for kind, path in (("users", "/etc/subuid"), ("groups", "/etc/subgid")):
        try:
            with open(path) as f:
                ranges = [line.strip().split(":") for line in f]
        except FileNotFoundError:
            ranges = []
        start = next((int(r[1]) for r in ranges if len(r) == 3 and r[0] in (user, str(os.getuid()))
                      and int(r[2]) >= SUBORDINATE_IDS), None)
        if start is None:
            raise Failure("%s has no %d subordinate ids in %s, which the Debian system is made with: "
                          "tools/deps test gives them" % (user, SUBORDINATE_IDS, path))
        maps.append("--map-%s=%d,1,%d" % (kind, start, SUBORDINATE_IDS - 1))
    return ["unshare", "--map-root-user", *maps, *cmd]
