# SPDX-License-Identifier: MIT
# shellcheck shell=sh
# What the project's scripts share, sourced by them (. tools/helpers.sh), or run one at a
# time by the harness: sh -c '. tools/helpers.sh && "$@"' sh FUNCTION ARG...

# The Debian archive that this machine's apt already uses, read from apt's own
# configuration: the tests' roots and fetches take their packages from there too.
debian_archive() {
    # shellcheck disable=SC2016 # $(REPO_URI) is apt's own field syntax
    apt-get indextargets --format '$(REPO_URI)' 'Origin: Debian' 'Label: Debian' | sort -u | head -n 1 |
        grep . || {
        echo "apt's sources name no Debian archive" >&2
        return 1
    }
}

# An apt of its own in FOLDER, for APT_CONFIG=FOLDER/apt.conf: its sources are
# FOLDER/sources.list, written by the caller; its lists and cache are in FOLDER, no
# package counts as installed, and this machine's dpkg and apt are left as they are. Each
# further argument is one more line of apt.conf.
#   private_apt FOLDER [SETTING...]
private_apt() (
    mkdir -p "$1/lists/partial" "$1/cache/archives/partial" "$1/empty"
    folder=$(cd "$1" && pwd)
    shift
    {
        echo "Dir::Etc::SourceList \"$folder/sources.list\";"
        echo "Dir::Etc::SourceParts \"$folder/empty\";"
        echo "Dir::Etc::Parts \"$folder/empty\";"
        echo "Dir::Etc::PreferencesParts \"$folder/empty\";"
        echo "Dir::State::Lists \"$folder/lists\";"
        echo "Dir::State::status \"/dev/null\";"
        echo "Dir::Cache \"$folder/cache\";"
        echo 'Acquire::Languages "none";'
        echo 'Acquire::Retries "3";'
        # The files are checked against the archive's signed indexes; this machine's
        # user for apt's downloads may not be able to write the folder.
        echo 'APT::Sandbox::User "root";'
        for setting in "$@"; do
            echo "$setting"
        done
    } >"$folder/apt.conf"
)

# The files of the repository at SOURCE that git does not ignore, copied to TARGET (made
# if need be), as an owner copies the repository: no build tree, no .git. Where SOURCE
# is no git checkout (an unpacked source package), everything but build/.
#   copy_tree SOURCE TARGET
copy_tree() {
    mkdir -p "$2"
    set -- "$1" "$(cd "$2" && pwd)"
    if git -C "$1" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git -C "$1" ls-files -z --cached --others --exclude-standard
    else
        (cd "$1" && find . -path ./build -prune -o -path ./.git -prune -o -type f -print0)
    fi | (
        # Not the tracked files that were deleted in the work tree.
        # shellcheck disable=SC2016 # expanded by the inner shell
        cd "$1" && xargs -0 -r sh -c 'for f; do [ ! -f "$f" ] || printf "%s\0" "$f"; done' sh |
        xargs -0 -r cp --parents -t "$2" --)
}

# A test that passed before on exactly the same inputs need not take minutes to pass again.
# CTest names the file that records its passes in PASSED_RECORD (none: it always runs);
# the key of a pass is the sha256 of what standard input gives: the inputs' own sums, say.
#   key=$(sha256sum FILE... | input_key)
input_key() {
    sha256sum | cut -d ' ' -f 1
}

# Ends a test as skipped (status 77, which CTest shows as skipped), and says why, where
# it passed before on KEY.
#   skip_if_passed KEY
skip_if_passed() {
    if [ -n "${PASSED_RECORD:-}" ] && [ -f "$PASSED_RECORD" ] && [ "$(cat "$PASSED_RECORD")" = "$1" ]; then
        echo "skipped: it passed on $(date -u -r "$PASSED_RECORD" '+%Y-%m-%d %H:%M UTC') with exactly these" \
            "inputs; remove $PASSED_RECORD to run it again"
        exit 77
    fi
}

# Records that a test passed on KEY.
#   record_pass KEY
record_pass() {
    [ -z "${PASSED_RECORD:-}" ] || { mkdir -p "$(dirname "$PASSED_RECORD")" && echo "$1" >"$PASSED_RECORD"; }
}

# A clean Debian 12 root for sbuild, made once with mmdebstrap into CACHE and kept there;
# prints its path. bookworm's main and its updates: the security archive's armhf index is
# not always whole here, and the build needs nothing from it.
#   root=$(bookworm_root CACHE)
bookworm_root() (
    root=$1/bookworm-$(dpkg --print-architecture).tar.zst
    if [ ! -f "$root" ]; then
        mirror=$(debian_archive) || exit 1
        # Named as it will be: mmdebstrap takes the format from the name.
        mkdir -p "$1/making"
        mmdebstrap --quiet --variant=buildd bookworm "$1/making/${root##*/}" \
            "deb $mirror bookworm main" "deb $mirror bookworm-updates main" >&2 || exit 1
        mv "$1/making/${root##*/}" "$root"
        rmdir "$1/making"
    fi
    echo "$root"
)

# The packages for armhf and armel, built from the source package DSC by sbuild in ROOT
# (bookworm_root), into OUT; each build's log is OUT/ARCH.log. Of sbuild's own
# cross-building set (crossbuild-essential and the host's C and C++ libraries) the build
# uses nothing: with none of it, the root holds Build-Depends alone, and one missing fails
# the build. No configuration of the user's is read.
#   sbuild_packages DSC ROOT OUT
sbuild_packages() (
    mkdir -p "$3"
    # shellcheck disable=SC2016 # Perl's variable
    printf '$crossbuild_core_depends = { armhf => [], armel => [] };\n1;\n' >"$3/sbuild.conf"
    for arch in armhf armel; do
        SBUILD_CONFIG=$3/sbuild.conf sbuild --chroot-mode=unshare --chroot="$2" --dist=bookworm --host=$arch \
            --build-dir="$3" --no-run-lintian --no-run-piuparts --no-run-autopkgtest --nolog "$1" \
            >"$3/$arch.log" 2>&1 || {
            tail -n 60 "$3/$arch.log" >&2
            echo "sbuild --host=$arch failed; its log is $3/$arch.log" >&2
            exit 1
        }
    done
)
