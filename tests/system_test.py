# SPDX-License-Identifier: MIT
"""The board's package on a Debian system booted on the emulated Pi Zero from its own card:
installed on stock Debian, whose kernel refuses the tool; the owner's one step; rebooted,
booted as another board and upgraded there, booted with SPI0 given to the kernel's
driver, removed, rebooted and purged, and the armhf package installed after it; and the
first boot of an image that a fleet baked the package into. Each step is judged by what
the guest reported, by the card's files and by GPFSEL0/1 as QEMU's monitor read them from
outside."""
import re

import pytest
from raspi0.debian.fleet import fleet_image
from raspi0.lifecycle import lifecycle

# What GPFSEL0/1 hold after a step.
SWITCHED = "GPIO 7-11 alt0, every other field as the kernel left it"
AS_THE_KERNEL_LEFT_THEM = "as the kernel left them: GPIO 7-11 inputs"
UNCHANGED = "as they were before the step"
SPI_DRIVER = "as the kernel's SPI driver set them: 7 and 8 outputs, 9-11 alt0"
UNREAD = "not read"

TOOL_LINE = r"SPI mapped from 0x0x20204000 to 0x0x[0-9a-f]*000"
WANTED_BY_SYSINIT = "/etc/systemd/system/sysinit.target.wants/switchpinctrl.service"
# Each step: what GPFSEL0/1 hold after it, and its facts, as regular expressions.
STEPS = {
    "stock": (UNCHANGED, {
        "installed": "0", "enabled": "disabled", "started": "inactive", "enable": "1",
        "ActiveState": "failed", "Result": "exit-code", "ExecMainStatus": "255", "tool": "mmap error -1",
        "failed": "switchpinctrl.service loaded failed failed .*", "links": WANTED_BY_SYSINIT,
        "state": ".*/switchpinctrl.service.dsh-also",
        "man": "switchPinCtrl - hand GPIO pins 7 to 11 of a BCM2835 board to the SPI0 controller"}),
    "step": (UNREAD, {"reconfigured": "0"}),
    "first-boot": (SWITCHED, {
        "ActiveState": "active", "Result": "success", "ExecMainStatus": "0", "tool": TOOL_LINE, "failed": ""}),
    "reboot": (SWITCHED, {
        "ActiveState": "active", "Result": "success", "ExecMainStatus": "0", "tool": TOOL_LINE, "failed": ""}),
    "other-board": (AS_THE_KERNEL_LEFT_THEM, {
        "compatible": "raspberrypi,2-model-b brcm,bcm2836", "LoadState": "loaded", "ActiveState": "inactive",
        "ConditionResult": "no", "failed": ""}),
    "upgrade": (AS_THE_KERNEL_LEFT_THEM, {"reinstalled": "0", "enabled": "enabled", "ActiveState": "inactive"}),
    "spi": (SPI_DRIVER, {
        "LoadState": "loaded", "ActiveState": "inactive", "ConditionResult": "no", "tool": "", "failed": "",
        "why": "SPI0 is enabled in the device tree, so the kernel's SPI driver owns GPIO 7-11: leaving them alone"}),
    "remove": (UNREAD, {"removed": "0", "files": "", "links": ""}),
    "purge": (AS_THE_KERNEL_LEFT_THEM, {
        "LoadState": "not-found", "failed": "", "purged": "0", "package": "", "links": "", "state": ""}),
    "armhf": (SWITCHED, {
        "installed": "0", "architecture": "armhf", "start": "0", "ActiveState": "active", "tool": TOOL_LINE}),
}


@pytest.fixture(scope="module")
def steps(option, soc):
    found = lifecycle(option("--board-cache"), soc, option("--oldcalls"), option("--board-deb"),
                      option("--board-deb-armhf"))
    for name, step in found.items():
        if step.seconds is not None:
            print("the boot from %s took %.1f s" % (name, step.seconds))
    return found


def with_fields(soc, regs, codes):
    """GPFSEL0/1 `regs` with the fields of `codes` (pin -> code) set."""
    regs = list(regs)
    for pin, code in codes.items():
        reg, shift = soc.fsel_reg(pin), soc.fsel_shift(pin)
        regs[reg] = regs[reg] & ~(soc.fsel_mask << shift) | code << shift
    return tuple(regs)


@pytest.mark.parametrize("name", STEPS)
def test_step(soc, steps, name):
    pins, facts = STEPS[name]
    got = steps[name].facts
    assert {key: got.get(key) for key, pattern in facts.items() if not re.fullmatch(pattern, got.get(key, "-"))} == {}

    kernel = steps["stock"].regs["before"]
    assert (kernel[0] & soc.spi0_fields(0, soc.fsel_mask), kernel[1] & soc.spi0_fields(1, soc.fsel_mask)) == (0, 0)
    after = steps[name].regs.get("after")
    if pins == SWITCHED:
        assert after == (soc.switched(0, kernel[0]), soc.switched(1, kernel[1]))
    elif pins == AS_THE_KERNEL_LEFT_THEM:
        assert after == kernel
    elif pins == UNCHANGED:
        assert after == steps[name].regs["before"]
    elif pins == SPI_DRIVER:
        codes = {7: soc.fsel_output, 8: soc.fsel_output, 9: soc.fsel_alt0, 10: soc.fsel_alt0, 11: soc.fsel_alt0}
        assert after == with_fields(soc, kernel, codes)


def test_owner_step_reaches_the_kernel(steps):
    """The harness passes no iomem=: stock Debian boots without it, the step writes it into
    the card's cmdline.txt, and the next boot's kernel has it from there."""
    assert "iomem=" not in steps["stock"].cmdline
    assert "iomem=relaxed" in steps["stock"].cmdline_txt.split()
    assert "iomem=relaxed" in steps["reboot"].cmdline.split()


@pytest.mark.parametrize("name", ["reboot", "first-boot"])
def test_switches_before_sysinit(steps, name):
    """At boot the tool has run, and finished, before sysinit.target is reached."""
    facts = steps[name].facts
    start, exit_, sysinit = (int(facts[key]) for key in (
        "ExecMainStartTimestampMonotonic", "ExecMainExitTimestampMonotonic", "sysinit"))
    assert 0 < exit_ < sysinit
    print("%s: the unit ran %d ms; the pins were switched %d ms after the kernel started, "
          "sysinit.target reached at %d ms" % (name, (exit_ - start) // 1000, exit_ // 1000, sysinit // 1000))


def test_baking_changes_nothing_here(option, steps):
    """Installing the package into the fleet's image left this machine's systemd as it was."""
    _, changed = fleet_image(option("--board-cache"), option("--oldcalls"), option("--board-deb"))
    assert changed == []
