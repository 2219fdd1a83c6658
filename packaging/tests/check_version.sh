#!/bin/sh
# A program answers --version with exactly "NAME VERSION" and status 0.
#   check_version.sh PROGRAM EXPECTED
set -u
out=$("$1" --version 2>&1) || { echo "$1 --version failed: $out"; exit 1; }
[ "$out" = "$2" ] || { echo "$1 --version said \"$out\", expected \"$2\""; exit 1; }
echo "$out"
