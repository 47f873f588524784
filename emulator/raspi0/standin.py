# SPDX-License-Identifier: MIT
"""Everything the harness gives an emulated board, or types at it, that a real board and its
owner would not have or do, in one place, each with why. Nothing here changes what the
tool may do on a Debian board: no iomem= for it, no file of the system patched, no
program of the harness's in its image."""

# QEMU's clock follows the instructions it runs (machine.CLOCK): a real board's timer is
# never late by the time its emulator is kept waiting by this machine.

# QEMU's raspi0 answers no power-domain request through the firmware's mailbox, as a real
# board's firmware does: with the BCM2835 power driver, nothing reaches the serial line
# for minutes. Added to every kernel's command line.
KERNEL_NEEDS = "initcall_blacklist=bcm2835_power_driver_init"

# The boards the Debian system boots as, each an edit of a copy of the card's Pi Zero tree
# (firmware.device_tree): fdtput's type, node, property and values. A node is named by
# its label in the tree's __symbols__ ("{spi}" for its path, and in a value for its
# phandle), which stays where Debian renames the nodes.
RASPIOS_TREE: list[tuple[str, ...]] = [
    # Debian's tree puts GPIO 4, 5 and 7-11 in alternate function 0 at boot with a
    # pin-control hog; Raspberry Pi OS's leaves 7-11 as inputs.
    ("u", "{alt0}", "brcm,pins", "4", "5"),
]
BOARDS: dict[str, list[tuple[str, ...]]] = {
    # The Pi Zero with Debian's tree exactly as the card has it.
    "debian": [],
    # The Pi Zero with Raspberry Pi OS's tree.
    "raspios": RASPIOS_TREE,
    # A Raspberry Pi 2, where a 32-bit system runs the same static program: not a BCM2835.
    "pi-2": RASPIOS_TREE + [("s", "/", "compatible", "raspberrypi,2-model-b", "brcm,bcm2836")],
    # Raspberry Pi OS's tree with SPI0 given to the kernel's driver, as its dtparam=spi=on
    # does: the driver takes 7-11 to alternate function 0 and makes 7 and 8 its chip
    # selects, outputs of the GPIO driver (cs-gpios, active low).
    "spi0-kernel": RASPIOS_TREE + [("s", "{spi}", "status", "okay"),
                                   ("s", "{spi}", "pinctrl-names", "default"),
                                   ("u", "{spi}", "pinctrl-0", "{spi0_gpio7}"),
                                   ("u", "{spi}", "cs-gpios", "{gpio}", "8", "1", "{gpio}", "7", "1")],
}
# A real Raspberry Pi OS board has no such word: Raspberry Pi's own kernels for the Pi 0
# and 1 let root map the GPIO block through /dev/mem, as pigpio and raspi-gpio rely on
# (their bcmrpi_defconfig sets no STRICT_DEVMEM, which 32-bit ARM leaves off by default),
# while Debian's kernel, the one the emulated board boots, refuses it (IO_STRICT_DEVMEM).
# iomem=relaxed lifts just that refusal, so it stands in for Raspberry Pi's kernel where
# a board stands for Raspberry Pi OS, and nowhere else: a Debian board gets it only from
# the owner's step, and the other boards run the tool nowhere.
RASPIOS_KERNEL = ["iomem=relaxed"]
BOARD_WORDS = {"raspios": RASPIOS_KERNEL}

# Typed once at a shell before any command, and why:
#   TERM=dumb       the serial line is a plain terminal: no colours, and no pager that
#                   waits for a key
#   stty cols 250   a serial line carries no window size: wide enough that no typed line
#                   wraps and systemctl keeps its lines whole
#   PS1='@@$? '     every prompt says how the command before it ended
SESSION = "export TERM=dumb; stty cols 250; PS1='@@$? '"

# What reaches the card's FAT partition before the first boot, as an owner copies files to
# it from a laptop (chains.Need): the release's packages from dist/, the newer version, a
# copy of this repository's files, and Debian's sudo.

# The emulated board has no network, where the README's build on the board needs it. What
# `apt-get build-dep` would fetch for the package (build-essential, cmake, debhelper) is in
# the Debian system already (debian/customize.sh), installed by hand, as build-dep leaves
# them (seen in a Debian 12 root); the owner's `apt-get update` is typed all the same, and
# apt only warns.

# Raspberry Pi OS is not served here: it is stood in for by the Debian system, given what
# Raspberry Pi OS has that the owner's commands use. Typed as root before its journey,
# then root logs out and its first user logs in.
RASPIOS_USER, RASPIOS_PASSWORD = "pi", "raspberry"
RASPIOS_SETUP = [
    # Its sudo: Debian's package, from the card.
    "dpkg -i /boot/firmware/sudo_armel.deb",
    # Its first user, who may use sudo without a password and read the journal, as
    # Raspberry Pi OS sets that user up.
    "useradd -m -s /bin/bash -G sudo,adm %s" % RASPIOS_USER,
    "echo %s:%s | chpasswd" % (RASPIOS_USER, RASPIOS_PASSWORD),
    "echo '%s ALL=(ALL) NOPASSWD: ALL' > /etc/sudoers.d/010_pi-nopasswd" % RASPIOS_USER,
    # Its dpkg takes armhf packages: Raspberry Pi OS is armhf.
    "dpkg --add-architecture armhf",
]
