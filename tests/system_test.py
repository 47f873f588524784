# SPDX-License-Identifier: MIT
"""The board's package on a Debian system booted on the emulated Pi Zero: installed and
enabled, rebooted, booted as another board and upgraded there, removed, rebooted and
purged. Each step is judged by what the guest reported and by GPFSEL0/1 as QEMU's
monitor read them from outside."""
import re

import pytest
from raspi0.lifecycle import lifecycle

SWITCHED, AS_THE_KERNEL_LEFT_THEM, UNREAD = "switched", "as the kernel left them", "unread"
JOURNAL = r"SPI mapped from 0x0x20204000 to 0x0x[0-9a-f]*000"
WANTED_BY_SYSINIT = "/etc/systemd/system/sysinit.target.wants/switchpinctrl.service"
# Each step: what GPFSEL0/1 hold after it, and its facts, as regular expressions.
STEPS = {
    "install": (SWITCHED, {
        "installed": "0", "enabled": "disabled", "started": "inactive", "enable": "0",
        "ActiveState": "active", "Result": "success", "ExecMainStatus": "0", "journal": JOURNAL,
        "links": WANTED_BY_SYSINIT, "state": ".*/switchpinctrl.service.dsh-also",
        "man": "switchPinCtrl - hand GPIO pins 7 to 11 of a BCM2835 board to the SPI0 controller"}),
    "reboot": (SWITCHED, {"ActiveState": "active", "Result": "success", "ExecMainStatus": "0", "journal": JOURNAL}),
    "other-board": (AS_THE_KERNEL_LEFT_THEM, {
        "compatible": "raspberrypi,2-model-b brcm,bcm2836", "LoadState": "loaded", "ActiveState": "inactive",
        "ConditionResult": "no", "failed": ""}),
    "upgrade": (AS_THE_KERNEL_LEFT_THEM, {"reinstalled": "0", "enabled": "enabled", "ActiveState": "inactive"}),
    "remove": (UNREAD, {"removed": "0", "files": "", "links": ""}),
    "purge": (AS_THE_KERNEL_LEFT_THEM, {
        "LoadState": "not-found", "failed": "", "purged": "0", "package": "", "links": "", "state": ""}),
}


@pytest.fixture(scope="module")
def steps(option, soc):
    found = lifecycle(option("--board-cache"), soc, option("--nostatx"), option("--board-deb"))
    for name, step in found.items():
        if step.seconds is not None:
            print("the boot from %s took %.1f s" % (name, step.seconds))
    return found


@pytest.mark.parametrize("name", STEPS)
def test_step(soc, steps, name):
    pins, facts = STEPS[name]
    got = steps[name].facts
    assert {key: got.get(key) for key, pattern in facts.items() if not re.fullmatch(pattern, got.get(key, "-"))} == {}

    # As the kernel left them: GPIO 7-11 inputs, for the tool's effect to show.
    kernel = steps["install"].regs["before"]
    assert (kernel[0] & soc.spi0_fields(0, soc.fsel_mask), kernel[1] & soc.spi0_fields(1, soc.fsel_mask)) == (0, 0)
    if pins == SWITCHED:
        assert steps[name].regs["after"] == (soc.switched(0, kernel[0]), soc.switched(1, kernel[1]))
    if pins == AS_THE_KERNEL_LEFT_THEM:
        assert steps[name].regs["after"] == kernel


def test_reboot_switches_before_sysinit(steps):
    """At boot the tool has run, and finished, before sysinit.target is reached."""
    facts = steps["reboot"].facts
    start, exit_, sysinit = (int(facts[key]) for key in (
        "ExecMainStartTimestampMonotonic", "ExecMainExitTimestampMonotonic", "sysinit"))
    assert 0 < exit_ < sysinit
    print("reboot: the unit ran %d ms; the pins were switched %d ms after the kernel started, "
          "sysinit.target reached at %d ms" % ((exit_ - start) // 1000, exit_ // 1000, sysinit // 1000))
