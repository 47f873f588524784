#!/bin/sh
# SPDX-License-Identifier: MIT
# lint.clang-tidy: clang-tidy on each C++ source, one file to a process, two at a time,
# with the build's compile commands; it fails if any file does. Under CTest it is skipped
# where it passed on exactly the same files, headers, configuration, compile commands and
# clang-tidy (tools/helpers.sh).
#   clang_tidy.sh CLANG_TIDY BUILD_DIR SOURCE_DIR FILE...    (headers count, and are not run)
set -u
tidy=$1 build=$2 source=$3
shift 3
# shellcheck source=tools/helpers.sh
. "$source/tools/helpers.sh"
key=$( ("$tidy" --version && sha256sum "$0" "$source/.clang-tidy" "$build/compile_commands.json" "$@") | input_key)
skip_if_passed "$key"
printf '%s\n' "$@" | grep '\.cpp$' | xargs -P 2 -n 1 "$tidy" -p "$build" --quiet || exit 1
record_pass "$key"
