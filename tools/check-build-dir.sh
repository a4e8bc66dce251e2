#!/usr/bin/env bash
# Stops with an explanation when a build folder exists but this user cannot write it, as happens after one
# run as root: the build would otherwise fail later with a bare "Permission denied". The build root (build/)
# counts too: CMake makes new folders in it, so removing only build/release would not be enough.
# Usage: tools/check-build-dir.sh DIR
set -euo pipefail
dir=$1
root=${dir%%/*}
blocked=
if [ -e "$root" ] && [ "$root" != "$dir" ] && ! { [ -w "$root" ] && [ -x "$root" ]; }; then
  blocked=$root
elif [ -e "$dir" ] && ! { [ -w "$dir" ] && [ -z "$(find "$dir" -maxdepth 2 ! -writable -print -quit 2>/dev/null)" ]; }
then
  blocked=$dir
fi
[ -n "$blocked" ] || exit 0
cat >&2 <<MSG
The build folder $blocked belongs to $(stat -c %U "$blocked"), and $(id -un) cannot write to it (an earlier run as
another user, such as root, made it). Remove it, or give it back to yourself, then run this command again:
    sudo rm -rf $blocked        or        sudo chown -R $(id -un): $blocked
Run ./run.sh and ./test.sh as yourself; they call sudo only for apt-get.
MSG
exit 1
