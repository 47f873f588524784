# SPDX-License-Identifier: MIT
"""Commands of the building machine, and the harness's one way to fail."""
import os
import subprocess


class Failure(Exception):
    """What went wrong, with the failing command's or the emulator's own words."""


def run(*cmd, cwd=None, stdin=None, env=None):
    """Runs cmd and gives its standard output; a failure carries the end of its stderr."""
    try:
        return subprocess.run(cmd, cwd=cwd, input=stdin, env=env, check=True, capture_output=True).stdout
    except FileNotFoundError as e:
        raise Failure("%s: not found" % cmd[0]) from e
    except subprocess.CalledProcessError as e:
        stderr = e.stderr.decode(errors="replace").rstrip().split("\n")
        raise Failure("%s failed (status %d):\n%s" % (" ".join(cmd), e.returncode, "\n".join(stderr[-60:]))) from e


def mtools(*cmd):
    """Runs an mtools command on a FAT image, which mtools would otherwise check as if it
    were a floppy disk's."""
    return run(*cmd, env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))
