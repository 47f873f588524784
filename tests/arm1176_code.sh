#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks that an ARM object file runs on an ARM1176 (ARMv6, VFPv2, no Thumb-2)
# and passes floating-point arguments in VFP registers (hard-float ABI).
set -u
attrs=$(readelf -A "$1") || exit 1
status=0
for want in "Tag_CPU_arch: v6KZ" "Tag_FP_arch: VFPv2" "Tag_ABI_VFP_args: VFP registers"; do
    echo "$attrs" | grep -qx "  $want" || { echo "missing: $want" >&2; status=1; }
done
echo "$attrs" | grep -q "Tag_THUMB_ISA_use: Thumb-2" && { echo "uses Thumb-2" >&2; status=1; }
[ $status -eq 0 ] || echo "$attrs" >&2
exit $status
