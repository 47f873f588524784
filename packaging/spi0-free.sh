#!/bin/sh
# SPDX-License-Identifier: MIT
# switchpinctrl.service's condition: succeeds unless the device tree gives SPI0 to the
# kernel's own driver, as Raspberry Pi OS's dtparam=spi=on does. That driver owns GPIO 7-11
# and drives 7 and 8 as its chip selects, and the tool would take them from it. The
# firmware settles the device tree before the kernel starts, so the answer is known at the
# unit's start, however late the driver loads. Without a device tree to ask, it succeeds.
node=/sys/firmware/devicetree/base/soc/spi@7e204000
[ -d "$node" ] || exit 0
# A node without a status is enabled. The shell reads the status itself: at boot every
# program started costs a noticeable part of the unit's run on a Pi Zero.
status=okay
[ ! -e "$node/status" ] || read -r status <"$node/status" || true
if [ "${status#ok}" != "$status" ]; then
    echo "SPI0 is enabled in the device tree, so the kernel's SPI driver owns GPIO 7-11: leaving them alone"
    exit 1
fi
