#!/bin/sh
# Fails unless the shared library exports exactly the functions listed.
set -eu
lib=$1
expected=$2
actual=$(nm -D --defined-only "$lib" | awk '$2 == "T" { print $3 }' | sort)
if [ "$actual" != "$(sort "$expected")" ]; then
  echo "exported functions differ from $expected:"
  printf '%s\n' "$actual" | diff "$expected" - || true
  exit 1
fi
