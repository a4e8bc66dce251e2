#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Idempotent and quiet when all are present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qtbase5-dev libqt5webkit5-dev qttools5-dev-tools qttools5-dev
  libsqlite3-dev libplist-dev libssl-dev libarchive-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  poppler-utils fonts-dejavu-core sqlite3
  fonts-noto-color-emoji unicode-data
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
