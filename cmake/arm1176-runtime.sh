#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds the runtime that the shipped board binary links statically, for the ARM1176
# (ARMv6 + VFPv2, hard-float ABI, ARM mode), because Debian's armhf runtime is ARMv7:
#   DIR/include, DIR/lib/crt1.o crti.o crtn.o libc.a   musl, built from MUSL_SOURCE
#   DIR/lib/libgcc.a      a copy of LIBGCC: ARMv6 has no divide instruction, and printf
#                         needs libgcc's division helpers
# Nothing here reaches the network: the sources are on this machine already.
# Nothing is done again while DIR/recipe matches the arguments and this script.
#
#   arm1176-runtime.sh DIR MUSL_SOURCE CROSS_PREFIX CPU_FLAGS LIBGCC
set -eu
[ $# -eq 5 ] || {
    echo "usage: $0 DIR MUSL_SOURCE CROSS_PREFIX CPU_FLAGS LIBGCC" >&2
    exit 2
}
dir=$1 musl=$2 cross=$3 cpu_flags=$4 libgcc=$5
# The recipe is everything the runtime is made from: musl's version, the compiler and its
# flags, the libgcc, and this script itself.
recipe="musl=$(cat "$musl/VERSION") cc=${cross}gcc $cpu_flags libgcc=$(sha256sum <"$libgcc" | cut -c1-64) script=$(sha256sum <"$0" | cut -c1-64)"
[ "$(cat "$dir/recipe" 2>/dev/null)" = "$recipe" ] && exit 0

echo "-- Building the ARM1176 runtime: musl $(cat "$musl/VERSION") (once; about a minute)"
rm -rf "$dir"
mkdir -p "$dir/obj" "$dir/lib"
# Built out of the source tree, which stays as the source package unpacked it. musl's own
# warnings are not ours to fix: they go to a log shown only on failure.
log="$dir/musl-build.log"
(
    cd "$dir/obj" &&
        "$musl/configure" --target=arm-linux-gnueabihf --prefix="$dir" --disable-shared --disable-wrapper \
            CC="${cross}gcc" AR="${cross}ar" RANLIB="${cross}ranlib" CFLAGS="$cpu_flags" &&
        make -j"$(nproc)" && make install
) >"$log" 2>&1 || {
    tail -n 40 "$log" >&2
    echo "$0: building musl failed; the whole log is $log" >&2
    exit 1
}
cp "$libgcc" "$dir/lib/libgcc.a"
rm -rf "$dir/obj" "$log"
echo "$recipe" >"$dir/recipe"
