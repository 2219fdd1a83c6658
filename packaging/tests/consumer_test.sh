#!/bin/sh
# Builds a small C program against a staged install of the library's two
# packages' components, once through find_package(vantrel) and once through
# pkg-config, and runs it.
#   consumer_test.sh BUILD_DIR WORK_DIR CONSUMER_SOURCE_DIR VERSION C_COMPILER
set -eu
build=$1 work=$2 source=$3 version=$4 cc=$5
rm -rf "$work"
stage=$work/stage
for component in vantrel_runtime vantrel_dev; do
  cmake --install "$build" --prefix "$stage" --component "$component" >/dev/null
done

# Nothing but the two components may land in the stage.
unexpected=$(cd "$stage" && find . -type f | grep -v -e '/libvantrel\.so' -e '/vantrel\.h$' \
  -e '/pkgconfig/vantrel\.pc$' -e '/cmake/vantrel/vantrel[A-Za-z-]*\.cmake$' \
  -e '/doc/libvantrel0/' -e '/doc/libvantrel-dev/' || true)
if [ -n "$unexpected" ]; then
  echo "unexpected files in the library's components:"; echo "$unexpected"; exit 1
fi

echo "== find_package(vantrel $version EXACT CONFIG REQUIRED)"
cmake -S "$source" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$stage" -DCMAKE_C_COMPILER="$cc" \
  -DVANTREL_EXPECTED_VERSION="$version" -DCMAKE_BUILD_TYPE=Release
cmake --build "$work/cmake"
"$work/cmake/consumer"
# The target is the staged library, not one found elsewhere.
ldd "$work/cmake/consumer" | grep -F "$stage/" | grep -q libvantrel.so.0

echo "== pkg-config vantrel"
pc=$(dirname "$(find "$stage" -name vantrel.pc)")
export PKG_CONFIG_PATH="$pc"
[ "$(pkg-config --modversion vantrel)" = "$version" ]
flags=$(pkg-config --define-variable=prefix="$stage" --cflags --libs vantrel)
mkdir -p "$work/pkgconfig"
# shellcheck disable=SC2086  # the flags are words
"$cc" -std=c99 -Wall -Wextra -Werror -o "$work/pkgconfig/consumer" "$source/consumer.c" $flags
libdir=$(pkg-config --define-variable=prefix="$stage" --variable=libdir vantrel)
LD_LIBRARY_PATH="$libdir" "$work/pkgconfig/consumer"
