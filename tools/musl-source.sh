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
apt=$(mktemp -d)
trap 'rm -rf "$apt"' EXIT
mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/empty"
# The pinned version is bookworm's: read from whichever Debian archive apt already uses.
# shellcheck disable=SC2016 # $(REPO_URI) is apt's own field syntax
archive=$(apt-get indextargets --format '$(REPO_URI)' 'Origin: Debian' 'Label: Debian' | sort -u | head -n 1)
[ -n "$archive" ] || {
    echo "$0: apt's sources name no Debian archive to fetch musl's source from" >&2
    exit 1
}
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $archive bookworm main" >"$apt/sources.list"
cat >"$apt/apt.conf" <<CONF
Dir::Etc::SourceList "$apt/sources.list";
Dir::Etc::SourceParts "$apt/empty";
Dir::Etc::Parts "$apt/empty";
Dir::Etc::PreferencesParts "$apt/empty";
Dir::State::Lists "$apt/lists";
Dir::State::status "/dev/null";
Dir::Cache "$apt/cache";
Acquire::Languages "none";
Acquire::Retries "3";
APT::Sandbox::User "root";
CONF
export APT_CONFIG="$apt/apt.conf"
apt-get -qq update
(cd "$apt" && apt-get -qq source --download-only "musl=$version" >/dev/null)
mkdir -p build/source
mv "$apt/musl_$upstream.orig.tar.gz" "$tarball"
rm -rf musl
mkdir musl
tar -C musl --strip-components=1 -xzf "$tarball"
