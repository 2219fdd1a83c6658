#!/bin/sh
# desktop-file-validate finds no error and no warning in the desktop entry
# (hints, such as two main categories, are allowed). 77: tool missing.
set -u
command -v desktop-file-validate >/dev/null || { echo "desktop-file-validate is missing (desktop-file-utils)"; exit 77; }
out=$(desktop-file-validate "$1" 2>&1); rc=$?
printf '%s\n' "$out"
[ $rc -eq 0 ] || exit 1
if printf '%s\n' "$out" | grep -E ': (error|warning): ' >/dev/null; then exit 1; fi
grep -qx 'Exec=Tessary' "$1" && grep -qx 'Icon=tessary' "$1" && grep -q '^Name\[cs\]=' "$1" &&
  grep -q '^Comment\[cs\]=' "$1" || { echo "$1 lacks Exec, Icon or the Czech name and comment"; exit 1; }
