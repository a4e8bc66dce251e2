#!/usr/bin/env bash
# tools/install-deps.sh as a user who is not root, with stand-ins for id, dpkg-query and sudo first on PATH. The sudo
# stand-in answers -n and -v as sudo does for each kind of user; apt-get through it is only recorded.
set -u
script=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
cat >"$work/bin/id" <<'STUB'
#!/bin/sh
case $1 in -u) echo 1000 ;; -un) echo u ;; esac
STUB
cat >"$work/bin/dpkg-query" <<'STUB'
#!/bin/sh
# Only cmake is missing.
case "$*" in *" cmake") exit 1 ;; *) printf 'install ok installed' ;; esac
STUB
cat >"$work/bin/sudo" <<'STUB'
#!/bin/sh
# SUDO_KIND: nopasswd (a NOPASSWD rule beside Debian's %sudo ALL=(ALL:ALL) ALL), password (asked on a terminal),
# notty (a password user without a terminal), refused.
log=$SUDO_LOG
case "$1" in
  -n)
    [ "$SUDO_KIND" = nopasswd ] && exit 0
    echo "sudo: a password is required" >&2; exit 1 ;;
  -v)
    echo "-v" >>"$log"
    case $SUDO_KIND in
      password) exit 0 ;;
      notty) echo "sudo: a terminal is required to read the password; either use the -S option to read from standard input or configure an askpass helper" >&2; exit 1 ;;
      *) echo "Sorry, user u may not run sudo on host." >&2; exit 1 ;;
    esac ;;
  apt-get) echo "$*" >>"$log"; exit 0 ;;
esac
exit 1
STUB
chmod +x "$work/bin/"*

failures=0
# kind, expected exit code, text expected in the output, expected number of -v asks
while read -r kind code expect asks; do
  log="$work/$kind.log"
  : >"$log"
  out=$(PATH="$work/bin:$PATH" SUDO_KIND=$kind SUDO_LOG=$log bash "$script" run 2>&1 </dev/null)
  got=$?
  expect=${expect//_/ }
  if [ "$got" -ne "$code" ] || ! grep -qF -- "$expect" <<<"$out$(cat "$log")" || [ "$(grep -c -- '^-v' "$log")" -ne "$asks" ]; then
    echo "FAIL $kind: exit $got (want $code), want \"$expect\" and $asks password asks; output:"
    echo "$out"; cat "$log"
    failures=$((failures + 1))
  fi
done <<'CASES'
nopasswd 0 apt-get_install_-y_-qq_--no-install-recommends_cmake 0
password 0 apt-get_install_-y_-qq_--no-install-recommends_cmake 1
notty 1 no_terminal_to_ask_it_on 1
refused 1 sudo_refused_u 1
CASES
[ "$failures" -eq 0 ] && echo "install-deps sudo cases passed"
exit "$failures"
