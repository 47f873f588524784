#!/bin/sh
# SPDX-License-Identifier: MIT
# The emulated board's runner when its emulator exits at once: within seconds it must
# say so, with the emulator's own words, and exit with status 1.
#   runner_test.sh PYTHON RUNNER
set -u
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
cache=$scratch/cache
mkdir "$cache"
touch "$cache/ready" "$cache/busybox" "$cache/zImage" "$cache/board.dtb" "$scratch/tool"
printf '#!/bin/sh\necho "qemu-system-arm: cannot load the kernel" >&2\nexit 1\n' >"$cache/qemu-system-arm"
chmod +x "$cache/qemu-system-arm"
echo "one 0 0 root" >"$scratch/cases"

start=$(date +%s)
"$1" "$2" run "$cache" "$scratch/tool" "$scratch/cases" "$scratch/results" 2>"$scratch/err"
status=$?
took=$(($(date +%s) - start))
cat "$scratch/err" >&2
[ $status -eq 1 ] || fail "status $status"
grep -q '^board.py: the emulator stopped (status 1)' "$scratch/err" || fail "not the emulator's stop"
grep -q 'cannot load the kernel' "$scratch/err" || fail "without the emulator's own words"
[ $took -lt 10 ] || fail "took $took s"
echo "ok: stopped in $took s"
