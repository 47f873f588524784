#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks what a board gets from the board build:
#   packaging_test.sh install|unit BUILD_DIR
#   packaging_test.sh deb|dist|offline BUILD_DIR SOURCE_DIR
#   packaging_test.sh manpage PAGE
set -u
what=$1
build=${2:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
# No tag at all, pedantic and informational ones included: those that are right as they
# stand are overridden in debian/, each with its reason.
clean_for_lintian() { # package
    lintian -I -E --pedantic "$1" 2>&1 | grep -v 'running with root privileges' >"$scratch/lintian"
    cat "$scratch/lintian"
    [ ! -s "$scratch/lintian" ] || fail "lintian finds tags in $1"
}
stage() { # prefix: installs into $scratch/stage
    rm -rf "$scratch/stage"
    DESTDIR="$scratch/stage" cmake --install "$build" --prefix "$1" >/dev/null || fail "cmake --install"
}
files() { (cd "$1" && find . ! -type d | sort); }

case $what in
install)
    # The tool, its manual page, the unit and its condition: nothing else, nothing
    # enabled, and the unit names its programs where this prefix put them.
    for prefix in /usr /opt/spi; do
        stage $prefix
        want=".$prefix/lib/systemd/system/switchpinctrl.service
.$prefix/libexec/switchpinctrl/spi0-free
.$prefix/sbin/switchPinCtrl
.$prefix/share/man/man8/switchPinCtrl.8.gz"
        got=$(files "$scratch/stage")
        [ "$got" = "$want" ] || fail "installed files for $prefix:
$got"
        for program in sbin/switchPinCtrl libexec/switchpinctrl/spi0-free; do
            [ -x "$scratch/stage$prefix/$program" ] || fail "$program not executable"
            grep -q "^Exec[A-Za-z]*=$prefix/$program\$" "$scratch/stage$prefix/lib/systemd/system/switchpinctrl.service" ||
                fail "unit does not run $prefix/$program"
        done
    done
    ;;
unit)
    stage /usr
    MANPATH="$scratch/stage/usr/share/man" systemd-analyze verify --root="$scratch/stage" \
        "$scratch/stage/usr/lib/systemd/system/switchpinctrl.service" 2>"$scratch/err"
    status=$?
    cat "$scratch/err" >&2
    if [ $status -ne 0 ] || [ -s "$scratch/err" ]; then fail "systemd-analyze verify"; fi
    # What the unit can reach: an exposure of at most 4.0 (40 on the threshold's scale), the
    # least that costs the board's boot next to nothing (docs/at-boot.md).
    systemd-analyze security --offline=yes --root="$scratch/stage" --threshold=40 \
        "$scratch/stage/usr/lib/systemd/system/switchpinctrl.service" >"$scratch/security" 2>&1 ||
        fail "$(tail -n 1 "$scratch/security"), above 4.0:
$(grep '✗' "$scratch/security")"
    tail -n 1 "$scratch/security"
    ;;
manpage)
    LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$build" >/dev/null 2>"$scratch/err" ||
        fail "man could not render $build"
    [ ! -s "$scratch/err" ] || fail "man warns: $(cat "$scratch/err")"
    mandoc -Tlint "$build" >"$scratch/lint" 2>&1 || fail "mandoc -Tlint: $(cat "$scratch/lint")"
    ;;
deb)
    # The packages the board workflow made, for armhf and armel: their binary is the one
    # the tests ran, and they differ in their Architecture field alone.
    version=$(dpkg-parsechangelog -l "$3/debian/changelog" -S Version)
    for arch in armhf armel; do
        deb="$build/switchpinctrl_${version}_$arch.deb"
        [ -f "$deb" ] || fail "no $deb"
        for field in "Package: switchpinctrl" "Version: $version" "Architecture: $arch" "Section: admin"; do
            dpkg-deb -f "$deb" "${field%%:*}" | grep -qx "${field#*: }" || fail "control field $field: $(dpkg-deb -f "$deb" "${field%%:*}")"
        done
        [ -z "$(dpkg-deb -f "$deb" Depends)" ] || fail "a static program depends on nothing: $(dpkg-deb -f "$deb" Depends)"
        dpkg-deb -f "$deb" Built-Using | grep -qx 'gcc-arm-none-eabi (= [^)]*), musl (= [^)]*)' ||
            fail "Built-Using: $(dpkg-deb -f "$deb" Built-Using)"
        want="./usr/lib/systemd/system/switchpinctrl.service
./usr/libexec/switchpinctrl/spi0-free
./usr/sbin/switchPinCtrl
./usr/share/doc/switchpinctrl/changelog.Debian.gz
./usr/share/doc/switchpinctrl/copyright
./usr/share/lintian/overrides/switchpinctrl
./usr/share/man/man8/switchPinCtrl.8.gz"
        got=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
        [ "$got" = "$want" ] || fail "$arch package files:
$got"
        dpkg-deb -x "$deb" "$scratch/$arch"
        cmp "$scratch/$arch/usr/sbin/switchPinCtrl" "$build/switchPinCtrl" || fail "the $arch package's binary is not the one tested"
        dpkg-deb -e "$deb" "$scratch/$arch/DEBIAN"
        sed -i '/^Architecture: /d' "$scratch/$arch/DEBIAN/control"
        clean_for_lintian "$deb"
    done
    diff -r "$scratch/armhf" "$scratch/armel" || fail "the armhf and armel packages differ beyond their architecture"
    ;;
dist)
    # The release owners download: the two packages of the changelog's version and their
    # sums, nothing else. On Debian 12 the board workflow makes its very bytes; elsewhere
    # the clean root of rebuild.sbuild decides.
    version=$(dpkg-parsechangelog -l "$3/debian/changelog" -S Version)
    dist=$3/dist
    want="SHA256SUMS
switchpinctrl_${version}_armel.deb
switchpinctrl_${version}_armhf.deb"
    got=$(cd "$dist" && find . -mindepth 1 -printf "%P\n" | LC_ALL=C sort)
    [ "$got" = "$want" ] || fail "dist/ must hold the packages of $version, the changelog's version, and
their SHA256SUMS alone (tools/release makes them); it holds:
$got"
    (cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "dist/SHA256SUMS does not match dist/'s packages"
    # The README's commands install the release by its files' names.
    for arch in armhf armel; do
        grep -q "switchpinctrl_${version}_$arch.deb" "$3/README.md" || fail "the README names no switchpinctrl_${version}_$arch.deb"
    done
    for arch in armhf armel; do
        clean_for_lintian "$dist/switchpinctrl_${version}_$arch.deb"
    done
    if grep -qx 'VERSION_CODENAME=bookworm' /etc/os-release; then
        for arch in armhf armel; do
            cmp -s "$build/switchpinctrl_${version}_$arch.deb" "$dist/switchpinctrl_${version}_$arch.deb" ||
                fail "the tree makes other bytes at $version than dist/ holds for $arch: a change to the package" \
                    "needs a new entry in debian/changelog, and dist/ made again with tools/release"
        done
    else
        echo "not compared with this PC's build, which is not Debian 12's: rebuild.sbuild compares"
    fi
    ;;
offline)
    # A clean copy of the tracked files at another path, after tools/deps board, built with
    # no network at all: byte-identical packages, or diffoscope's account of what differs.
    # Skipped where it passed on exactly the same files and packages (tools/helpers.sh).
    source=$3
    version=$(dpkg-parsechangelog -l "$source/debian/changelog" -S Version)
    again=$scratch/again
    # shellcheck source=tools/helpers.sh
    . "$source/tools/helpers.sh"
    copy_tree "$source" "$again" || fail "copying the tree"
    key=$( (sha256sum "$0" "$build"/switchpinctrl_"${version}"_arm*.deb &&
        cd "$again" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum) | input_key)
    skip_if_passed "$key"
    (cd "$again" && tools/deps board && unshare --map-root-user --net cmake --workflow --preset board) \
        >"$scratch/log" 2>&1 || {
        cat "$scratch/log" >&2
        fail "the offline build"
    }
    for arch in armhf armel; do
        deb=switchpinctrl_${version}_$arch.deb
        cmp -s "$build/$deb" "$again/build/board/$deb" ||
            fail "$deb differs offline: $(diffoscope --text - "$build/$deb" "$again/build/board/$deb" | head -n 60)"
    done
    record_pass "$key"
    ;;
*)
    fail "usage: packaging_test.sh install|unit BUILD_DIR | deb|dist|offline BUILD_DIR SOURCE_DIR | manpage PAGE"
    ;;
esac
echo "ok: $what"
