#!/bin/sh
# Makes the Debian packages with cpack, unpacks them with dpkg-deb, runs
# every program from the unpacked tree with --version, checks the fields
# dpkg-shlibdeps and the component dependencies wrote, and runs lintian,
# which must report no error.
#   deb_test.sh BUILD_DIR WORK_DIR VERSION LINTIAN_SUPPRESSIONS PACKAGE=PROGRAM,... ...
set -eu
build=$1 work=$2 version=$3 suppressions=$4
shift 4
entries="$*"  # PACKAGE=PROGRAM,PROGRAM ...
fail() { echo "FAIL: $*"; exit 1; }
has() { case " $entries " in *" $1="*) return 0 ;; esac; return 1; }  # PACKAGE is made
for tool in cpack dpkg-deb dpkg-shlibdeps lintian; do
  command -v $tool >/dev/null || fail "$tool is missing (scripts/install-deps installs it)"
done

rm -rf "$work"
mkdir -p "$work/debs" "$work/root"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/debs" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack -G DEB failed"; }

debs=""
for entry in $entries; do
  package=${entry%%=*}
  deb=$(ls "$work/debs/${package}_${version}_"*.deb 2>/dev/null || true)
  [ -n "$deb" ] && [ "$(echo "$deb" | wc -l)" -eq 1 ] || fail "no single package ${package}_${version}_*.deb in $work/debs"
  debs="$debs $deb"
  [ "$(dpkg-deb -f "$deb" Package)" = "$package" ] || fail "$deb is not the package $package"
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$deb is not version $version"
  dpkg-deb -x "$deb" "$work/root"
  echo "$package: $(dpkg-deb -f "$deb" Depends)"
done
ls -l "$work/debs"/*.deb

# Regression: cpack put the project's summary above each package's synopsis.
synopses=$(for deb in $debs; do dpkg-deb -f "$deb" Description | head -n 1; done)
[ "$(echo "$synopses" | sort -u | wc -l)" -eq "$(echo "$synopses" | wc -l)" ] ||
  fail "two packages share a synopsis: $synopses"

# Dependencies computed from the binaries, and between our own packages.
depends() { dpkg-deb -f "$work/debs/${1}_${version}_"*.deb Depends; }
for entry in $entries; do
  package=${entry%%=*} programs=${entry#*=}
  if [ -n "$programs" ]; then
    depends "$package" | grep -q 'libc6 (>=' || fail "$package does not depend on libc6: no dpkg-shlibdeps?"
  fi
done
depends libvantrel0 | grep -q 'libportaudio2' || fail "libvantrel0 does not depend on libportaudio2"
depends libvantrel-dev | grep -qF "libvantrel0 (= $version)" || fail "libvantrel-dev does not depend on libvantrel0"
dpkg-deb -I "$work/debs/libvantrel0_${version}_"*.deb shlibs | grep -q '^libvantrel 0 libvantrel0' ||
  fail "libvantrel0 has no shlibs entry"
[ -f "$work/root/usr/include/vantrel.h" ] || fail "no vantrel.h in libvantrel-dev"

# The files a user looks for, in their Debian places.
if has tessary; then
  depends tessary | grep -qF "libvantrel0 (= $version)" || fail "tessary does not depend on libvantrel0"
  depends tessary | grep -q 'libqt6widgets6' || fail "tessary does not depend on Qt's widgets"
  for file in usr/share/applications/tessary.desktop usr/share/icons/hicolor/48x48/apps/tessary.png \
      usr/share/man/man1/Tessary.1.gz; do
    [ -f "$work/root/$file" ] || fail "no $file in tessary"
  done
fi
if has tessary-cli; then
  depends tessary-cli | grep -qF "libvantrel0 (= $version)" || fail "tessary-cli does not depend on libvantrel0"
  # The terminal client needs no window system: no Qt, nor the ICU that Qt brings.
  ! depends tessary-cli | grep -Eq 'libqt|libicu' || fail "tessary-cli depends on Qt: $(depends tessary-cli)"
  [ -f "$work/root/usr/share/man/man1/tessary-cli.1.gz" ] || fail "no usr/share/man/man1/tessary-cli.1.gz in tessary-cli"
fi
if has tessary-server; then
  for file in usr/lib/systemd/system/tessary-server.service usr/lib/systemd/system/tessary-server@.service \
      usr/share/doc/tessary-server/examples/haproxy/tessary-server.cfg usr/share/tessary-server/seed-vocabulary.tsv \
      usr/share/man/man1/tessary-server.1.gz; do
    [ -f "$work/root/$file" ] || fail "no $file in tessary-server"
  done
  grep -q '^ExecStart=/usr/bin/tessary-server ' "$work/root/usr/lib/systemd/system/tessary-server.service" ||
    fail "the service does not start /usr/bin/tessary-server"
fi

# Every program from the unpacked tree, with the unpacked library.
library=$(find "$work/root" -name libvantrel.so.0)
[ -n "$library" ] || fail "no libvantrel.so.0 in the packages"
LD_LIBRARY_PATH=$(dirname "$library")
export LD_LIBRARY_PATH
for entry in $entries; do
  programs=${entry#*=}
  for program in $(echo "$programs" | tr ',' ' '); do
    out=$("$work/root/usr/bin/$program" --version) || fail "$program --version failed"
    [ "$out" = "$program $version" ] || fail "$program --version said \"$out\""
    echo "unpacked $program --version: $out"
  done
done

# The unpacked server starts on loopback from the packaged seed vocabulary.
if has tessary-server; then
  log=$work/server.log
  "$work/root/usr/bin/tessary-server" --listen 127.0.0.1 --port 0 --data "$work/data" \
    --seed "$work/root/usr/share/tessary-server/seed-vocabulary.tsv" 2>"$log" &
  server=$!
  i=0
  while ! grep -q 'listening on' "$log" && [ $i -lt 100 ] && kill -0 $server 2>/dev/null; do
    sleep 0.1; i=$((i + 1))
  done
  kill $server 2>/dev/null || true
  wait $server 2>/dev/null || true
  grep -E 'listening on 127\.0\.0\.1 port [0-9]+, [1-9][0-9]* words' "$log" ||
    { cat "$log"; fail "the unpacked tessary-server did not start from its seed vocabulary"; }
fi

# lintian: no error (warnings are printed for the reader).
# shellcheck disable=SC2086  # one word per package
lintian --fail-on error --suppress-tags-from-file "$suppressions" $debs || fail "lintian reports errors"
echo "lintian: no error"
