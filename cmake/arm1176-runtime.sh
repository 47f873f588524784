#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds the runtime that the shipped board binary links statically, for the ARM1176
# (ARMv6 + VFPv2, hard-float ABI, ARM mode), because Debian's armhf runtime is ARMv7:
#   DIR/include, DIR/lib/crt1.o crti.o crtn.o libc.a   musl, from Debian's source package
#   DIR/lib/libgcc.a      the ARM-mode hard-float (arm/v5te/hard) libgcc of Debian's
#                         gcc-arm-none-eabi: ARMv6 has no divide instruction, and printf
#                         needs libgcc's division helpers
#   DIR/built-using       the source packages linked in, as a Debian Built-Using field
# Everything comes through apt, which checks each file against the archive's signed
# indexes; apt's lists and cache for that are private to DIR, the machine's are untouched.
# Nothing is done again while DIR/recipe matches the arguments and this script.
#
#   arm1176-runtime.sh DIR CROSS_PREFIX CPU_FLAGS MUSL_VERSION LIBGCC_VERSION
set -eu
[ $# -eq 5 ] || {
    echo "usage: $0 DIR CROSS_PREFIX CPU_FLAGS MUSL_VERSION LIBGCC_VERSION" >&2
    exit 2
}
dir=$1 cross=$2 cpu_flags=$3 musl=$4 libgcc=$5
# The recipe is everything the runtime is made from: the pinned versions, the compiler and
# its flags, and this script itself.
recipe="musl=$musl gcc-arm-none-eabi=$libgcc cc=${cross}gcc $cpu_flags script=$(sha256sum <"$0" | cut -c1-64)"
[ "$(cat "$dir/recipe" 2>/dev/null)" = "$recipe" ] && exit 0

echo "-- Building the ARM1176 runtime: musl $musl, libgcc of gcc-arm-none-eabi $libgcc (once; about a minute)"
rm -rf "$dir"
mkdir -p "$dir/apt/lists/partial" "$dir/apt/cache/archives/partial" "$dir/apt/empty" "$dir/src" "$dir/lib"

# The pinned versions are bookworm's: read from whichever Debian archive apt already uses.
# shellcheck disable=SC2016 # $(REPO_URI) is apt's own field syntax
archive=$(apt-get indextargets --format '$(REPO_URI)' 'Origin: Debian' 'Label: Debian' | sort -u | head -n 1)
[ -n "$archive" ] || {
    echo "$0: apt's sources name no Debian archive to fetch musl and libgcc from" >&2
    exit 1
}
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
cat >"$dir/apt/sources.list" <<EOF
deb [signed-by=$keyring] $archive bookworm main
deb-src [signed-by=$keyring] $archive bookworm main
EOF
cat >"$dir/apt/apt.conf" <<EOF
Dir::Etc::SourceList "$dir/apt/sources.list";
Dir::Etc::SourceParts "$dir/apt/empty";
Dir::Etc::Parts "$dir/apt/empty";
Dir::Etc::PreferencesParts "$dir/apt/empty";
Dir::State::Lists "$dir/apt/lists";
Dir::State::status "/dev/null";
Dir::Cache "$dir/apt/cache";
APT::Architectures { "$(dpkg --print-architecture)"; };
Acquire::Languages "none";
Acquire::Retries "3";
APT::Sandbox::User "root";
EOF
export APT_CONFIG="$dir/apt/apt.conf"
apt-get -qq update
cd "$dir/src"
apt-get -qq source "musl=$musl" >/dev/null
apt-get -qq download "gcc-arm-none-eabi=$libgcc"

# musl's own warnings are not ours to fix: they go to a log shown only on failure.
log="$dir/musl-build.log"
(
    cd musl-*/ &&
        ./configure --target=arm-linux-gnueabihf --prefix="$dir" --disable-shared --disable-wrapper \
            CC="${cross}gcc" AR="${cross}ar" RANLIB="${cross}ranlib" CFLAGS="$cpu_flags" &&
        make -j"$(nproc)" && make install
) >"$log" 2>&1 || {
    tail -n 40 "$log" >&2
    echo "$0: building musl failed; the whole log is $log" >&2
    exit 1
}

deb=$(echo gcc-arm-none-eabi_*.deb)
dpkg-deb --fsys-tarfile "$deb" |
    tar -xO --wildcards './usr/lib/gcc/arm-none-eabi/*/arm/v5te/hard/libgcc.a' >"$dir/lib/libgcc.a"
[ -s "$dir/lib/libgcc.a" ] || {
    echo "$0: $deb holds no arm/v5te/hard/libgcc.a" >&2
    exit 1
}

# Built-Using names source packages: the deb's Source field, else its own name.
source=$(dpkg-deb -f "$deb" Source)
version=$(dpkg-deb -f "$deb" Version)
case $source in
"") source=$(dpkg-deb -f "$deb" Package) ;;
*"("*)
    version=${source#*(}
    version=${version%)}
    source=${source%% *}
    ;;
esac
musl_version=$(sed -n 's/^Version: //p' musl_*.dsc)
echo "musl (= $musl_version), $source (= $version)" >"$dir/built-using"

rm -rf "$dir/src" "$dir/apt" "$log"
echo "$recipe" >"$dir/recipe"
