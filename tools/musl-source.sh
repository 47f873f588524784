#!/bin/sh
# SPDX-License-Identifier: MIT
# Fetches musl's source as Debian's source package musl holds it, for the board's runtime:
# the cross build takes it from musl/, and the source package carries the same tarball as
# its musl component. apt checks the tarball against the archive's signed Sources index;
# its lists for that are private and temporary, the machine's are untouched. Nothing is
# fetched while musl/ already holds that version.
#   tools/musl-source.sh        (tools/deps board runs it)
set -eu
cd "$(dirname "$0")/.."
# The version is pinned where the runtime is made, which names it in Built-Using.
version=$(sed -n 's/^set(ARM_RUNTIME_MUSL_VERSION \(.*\))$/\1/p' cmake/arm1176-musl.cmake)
upstream=${version%-*}
tarball=build/source/musl_$upstream.orig.tar.gz
[ -f "$tarball" ] && [ "$(cat musl/VERSION 2>/dev/null)" = "$upstream" ] && exit 0

echo "Fetching musl $version's source"
# shellcheck source=tools/helpers.sh
. tools/helpers.sh
apt=$(mktemp -d)
trap 'rm -rf "$apt"' EXIT
# The pinned version is bookworm's: read from whichever Debian archive apt already uses.
archive=$(debian_archive)
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $archive bookworm main" >"$apt/sources.list"
private_apt "$apt"
export APT_CONFIG="$apt/apt.conf"
apt-get -qq update
(cd "$apt" && apt-get -qq source --download-only "musl=$version" >/dev/null)
mkdir -p build/source
mv "$apt/musl_$upstream.orig.tar.gz" "$tarball"
rm -rf musl
mkdir musl
tar -C musl --strip-components=1 -xzf "$tarball"
