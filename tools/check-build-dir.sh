#!/usr/bin/env bash
# Stops with an explanation when a build folder exists but this user cannot write it, as happens after one
# run as root: the build would otherwise fail later with a bare "Permission denied".
# Usage: tools/check-build-dir.sh DIR
set -euo pipefail
dir=$1
[ -e "$dir" ] || exit 0
if [ -w "$dir" ] && [ -z "$(find "$dir" -maxdepth 2 ! -writable -print -quit 2>/dev/null)" ]; then
  exit 0
fi
cat >&2 <<MSG
The build folder $dir belongs to $(stat -c %U "$dir"), and $(id -un) cannot write to it (an earlier run as
another user, such as root, made it). Remove it, or give it back to yourself, then run this command again:
    sudo rm -rf $dir        or        sudo chown -R $(id -un): $dir
Run ./run.sh and ./test.sh as yourself; they call sudo only for apt-get.
MSG
exit 1
