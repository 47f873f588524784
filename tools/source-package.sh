#!/bin/sh
# SPDX-License-Identifier: MIT
# Makes the Debian source package in OUTDIR: the .dsc, with
#   switchpinctrl_V.orig.tar.xz        the checkout's tracked files, debian/ and dist/ aside
#   switchpinctrl_V.orig-musl.tar.gz   musl's tarball, byte for byte as Debian's source
#                                      package musl has it (tools/deps board fetches it)
#   switchpinctrl_V-R.debian.tar.xz    debian/
# The same bytes from the same files on any machine: the tarball's entries are sorted and
# carry the changelog's date, and no user's name or umask.
#   tools/source-package.sh OUTDIR
set -eu
[ $# -eq 1 ] || {
    echo "usage: $0 OUTDIR" >&2
    exit 2
}
mkdir -p "$1"
out=$(realpath "$1")
cd "$(dirname "$0")/.."
git rev-parse --is-inside-work-tree >/dev/null 2>&1 || {
    echo "$0: the upstream tarball is made of git's tracked files: run it in a git checkout" >&2
    exit 1
}
version=$(dpkg-parsechangelog -S Version)
upstream=${version%-*}
epoch=$(dpkg-parsechangelog -S Timestamp)
name=switchpinctrl-$upstream
set -- build/source/musl_*.orig.tar.gz
[ -f "$1" ] || {
    echo "$0: musl's source is missing from build/source: run tools/deps board" >&2
    exit 1
}
musl=$1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tarball() { # PATHSPEC...: the tracked files, under $name/
    git ls-files -z -- "$@" |
        tar --null -T - --sort=name --mtime=@"$epoch" --owner=0 --group=0 --numeric-owner \
            --mode=u+rw,go=rX --transform="s,^,$name/," -cf -
}
tarball . ':!:debian' ':!:dist' | xz -6 >"$work/switchpinctrl_$upstream.orig.tar.xz"
cp "$musl" "$work/switchpinctrl_$upstream.orig-musl.tar.gz"
# The tree dpkg-source takes: the upstream tarball, the component in musl/, and debian/.
tar -C "$work" -xJf "$work/switchpinctrl_$upstream.orig.tar.xz"
mkdir "$work/$name/musl"
tar -C "$work/$name/musl" --strip-components=1 -xzf "$musl"
tarball debian | tar -C "$work" -xf -
(cd "$work" && dpkg-source --build "$name" >/dev/null)
rm -rf "${work:?}/$name"
mv "$work"/switchpinctrl_* "$out/"
ls "$out/switchpinctrl_$version.dsc"
