#!/bin/sh
# SPDX-License-Identifier: MIT
# The board's packages made again in clean build roots, as an auditor or an owner on
# another PC makes them (CONTRIBUTING.md), as the user who runs the tests:
#   rebuild_test.sh sbuild BUILD_DIR SOURCE_DIR CACHE_DIR
#       the source package, lintian-clean, built by sbuild in a bookworm root for armhf and
#       armel: the same bytes as the release in dist/, and, on Debian 12, as the board
#       workflow's packages in BUILD_DIR
#   rebuild_test.sh trixie BUILD_DIR SOURCE_DIR CACHE_DIR ARM1176_TESTS
#       in a fresh Debian 13 root: a contributor's set-up (tools/deps test), the README's
#       demonstration on the simulated board and the quick check, then the README's route to
#       the packages (the board workflow), whose program must pass the ARM1176 suite
# Each takes minutes, most of them fetching and installing a root's packages; CACHE_DIR
# keeps the bookworm root. Under CTest a pass is recorded with a digest of everything it was
# made from (this script, the source, the packages compared, the root, the archive): run
# again on exactly the same, the test is skipped and says so (tools/helpers.sh).
set -u
what=$1 build=$2 source=$3 cache=$4
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
version=$(dpkg-parsechangelog -l "$source/debian/changelog" -S Version)
# shellcheck source=tools/helpers.sh
. "$source/tools/helpers.sh"
# The build roots come from the Debian archive this machine's apt uses.
mirror=$(debian_archive) || fail "no archive for the build roots"
sums() { (cd "$1" && sha256sum switchpinctrl_"${version}"_armhf.deb switchpinctrl_"${version}"_armel.deb); }
# A pass is keyed on what standard input lists, this script and the archive (helpers.sh).
digest() { (sha256sum "$0" && cat && echo "$mirror") | input_key; }

case $what in
sbuild)
    "$source/tools/source-package.sh" "$scratch/source" >/dev/null || fail "tools/source-package.sh"
    dsc=$scratch/source/switchpinctrl_$version.dsc
    lintian -I -E --pedantic "$dsc" 2>&1 | grep -v 'running with root privileges' >"$scratch/lintian"
    cat "$scratch/lintian"
    [ ! -s "$scratch/lintian" ] || fail "lintian finds tags in the source package"
    root=$(bookworm_root "$cache") || fail "mmdebstrap"
    key=$( (cd "$scratch/source" && sha256sum ./* && sha256sum "$root" && sums "$build" &&
        sha256sum "$source"/dist/*) | digest)
    skip_if_passed "$key"
    sbuild_packages "$dsc" "$root" "$scratch/out" || fail "sbuild"
    echo "sbuild, in a clean bookworm root:"
    sums "$scratch/out"
    # The release owners download must be what its source makes, at its version.
    sums "$scratch/out" | (cd "$source/dist" && sha256sum --quiet -c -) ||
        fail "the tree makes other bytes at $version than dist/ holds: a change to the package needs a new" \
            "entry in debian/changelog, and dist/ made again with tools/release"
    # This PC's own compilers make the tested bytes on Debian 12 only (docs/packaging.md).
    if grep -qx 'VERSION_CODENAME=bookworm' /etc/os-release; then
        sums "$scratch/out" | (cd "$build" && sha256sum --quiet -c -) ||
            fail "sbuild's packages are not the board workflow's"
    else
        echo "not compared with the board workflow's packages: this PC is not Debian 12"
    fi
    record_pass "$key"
    ;;
trixie)
    arm1176_tests=$5
    mkdir "$scratch/tree" "$scratch/out"
    copy_tree "$source" "$scratch/tree" || fail "copying the tree"
    key=$( (cd "$scratch/tree" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum &&
        sha256sum "$arm1176_tests") | digest)
    skip_if_passed "$key"
    debs="/src/build/board/switchpinctrl_${version}_armhf.deb /src/build/board/switchpinctrl_${version}_armel.deb"
    # Each step says how long it took, or that it failed.
    # shellcheck disable=SC2016 # expanded in the root
    steps='step() {
        started=$(date +%s)
        "$@" || { echo "== failed: $*"; exit 1; }
        echo "== $* took $(($(date +%s) - started)) s"
    }
    demo() { sh sim/demo.sh | tee /tmp/demo && grep -qx "(exit status 0)" /tmp/demo; }
    mv /tree /src && cd /src && step tools/deps test && step demo && step cmake --workflow --preset quick &&
        step cmake --workflow --preset board'
    mmdebstrap --quiet --variant=apt trixie /dev/null "deb $mirror trixie main" \
        --customize-hook="copy-in $scratch/tree /" --customize-hook="chroot \"\$1\" sh -c '$steps'" \
        --customize-hook="copy-out $debs $scratch/out" >"$scratch/log" 2>&1 || {
        tail -n 60 "$scratch/log" >&2
        fail "on Debian 13: $(grep '^== failed: ' "$scratch/log" || echo "making the root")"
    }
    grep '^== .* took ' "$scratch/log"
    echo "the README's route, on Debian 13, made:"
    sums "$scratch/out"
    for arch in armhf armel; do
        dpkg-deb -x "$scratch/out/switchpinctrl_${version}_$arch.deb" "$scratch/$arch"
    done
    cmp "$scratch/armhf/usr/sbin/switchPinCtrl" "$scratch/armel/usr/sbin/switchPinCtrl" ||
        fail "Debian 13's armhf and armel packages hold different programs"
    TEST_BOARD_TOOL=$scratch/armhf/usr/sbin/switchPinCtrl "$arm1176_tests" --gtest_brief=1 ||
        fail "Debian 13's program on the ARM1176"
    record_pass "$key"
    ;;
*)
    fail "usage: rebuild_test.sh sbuild|trixie BUILD_DIR SOURCE_DIR CACHE_DIR [ARM1176_TESTS]"
    ;;
esac
echo "ok: $what"
