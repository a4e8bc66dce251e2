#!/usr/bin/env bash
# Installs the Debian packages that building and running the program need; with "test", also those of the
# tests, benchmarks, sanitizer suite and fuzzers. Idempotent and quiet when all are present.
# Usage: tools/install-deps.sh [run|test]   (default: test)
set -euo pipefail

run_packages=(
  build-essential cmake ninja-build pkg-config
  qtbase5-dev libqt5webkit5-dev qttools5-dev-tools qttools5-dev
  libsqlite3-dev libplist-dev libssl-dev libarchive-dev
  libimobiledevice-dev libusbmuxd-dev usbmuxd
  fonts-noto-color-emoji unicode-data
  libimobiledevice-utils
)
test_packages=(
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  poppler-utils fonts-dejavu-core sqlite3 python3 openssl
  clang libclang-rt-14-dev
  llvm-14  # llvm-symbolizer-14, which the sanitizers find by themselves: reports then name functions and lines
)

mode=${1:-test}
case "$mode" in
  run) packages=("${run_packages[@]}") ;;
  test) packages=("${run_packages[@]}" "${test_packages[@]}") ;;
  *) echo "usage: $0 [run|test]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

# Says what to do when root's rights are out of reach; $1 says why.
need_root() {
  cat >&2 <<MSG
These Debian packages are missing: ${missing[*]}
Installing them needs root, and $1. Either run, as root:
    $(cd "$(dirname "$0")" && pwd)/install-deps.sh ${mode}
(then run this command again as yourself), or install sudo where it is missing and give your user the right to use it.
MSG
  exit 1
}

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || need_root "sudo is not installed"
  # Asked once before apt-get, so that a refusal is told apart from a failed download. "sudo -n true" first:
  # a user whose rule needs no password passes it, while "sudo -v" may still want a password from them
  # (sudo's verifypw=all asks one unless every rule of the user is NOPASSWD).
  if ! sudo -n true 2>/dev/null; then
    if ! why=$(sudo -v 2>&1); then
      case $why in
        *"terminal is required"* | *"no tty present"*)
          need_root "sudo needs your password but has no terminal to ask it on (run this command from a terminal)" ;;
        *) need_root "sudo refused $(id -un)" ;;
      esac
    fi
  fi
  sudo_cmd=(sudo)
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
