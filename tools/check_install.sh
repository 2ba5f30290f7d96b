#!/usr/bin/env bash
# Checks what an install of a finished build ships, as a user's system sees it:
#   tools/check_install.sh BUILD_DIR
# It installs into BUILD_DIR/stage (DESTDIR, prefix /usr), checks that every file is there,
# validates the menu entry and the metainfo, renders the manual pages with warnings on, runs the
# staged programs (the samples must come from the staged share/quillomat), builds the Debian
# package and runs lintian on it. Fails on the first problem.
set -euo pipefail
build=$(cd "$1" && pwd)
stage=$build/stage
usr=$stage/usr
fail() { echo "check-install: $*" >&2; exit 1; }
say() { echo "check-install: $*"; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"

rm -rf "$stage"
DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
desktop=( "$usr"/share/applications/*.desktop )
[ ${#desktop[@]} -eq 1 ] && [ -f "${desktop[0]}" ] || fail "expected one desktop entry"
id=$(basename "${desktop[0]}" .desktop)
for f in bin/quillomat bin/quillomat-cli share/metainfo/$id.metainfo.xml \
         share/icons/hicolor/scalable/apps/$id.svg share/man/man1/quillomat.1.gz \
         share/man/man1/quillomat-cli.1.gz share/doc/quillomat/copyright \
         share/doc/quillomat/changelog.Debian.gz share/quillomat/Samples/frame01.jpg; do
  [ -s "$usr/$f" ] || fail "the install has no $f"
done
for size in 16 22 24 32 48 64 128 256; do
  png=$usr/share/icons/hicolor/${size}x${size}/apps/$id.png
  [ -s "$png" ] || fail "no ${size}x${size} icon"
  # Width and height are the big-endian words at bytes 16 and 20 of a PNG.
  read -r w h < <(od -An -tu4 --endian=big -j16 -N8 "$png")
  [ "$w" = "$size" ] && [ "$h" = "$size" ] || fail "$png is ${w}x${h}"
done
grep -q "^Exec=quillomat %F$" "${desktop[0]}" || fail "the desktop entry does not open files"
grep -q "^Icon=$id$" "${desktop[0]}" || fail "the desktop entry names another icon"
say "all files installed"

out=$(desktop-file-validate "${desktop[0]}" 2>&1) || fail "desktop-file-validate: $out"
if grep -qE "error:|warning:" <<<"$out"; then fail "desktop-file-validate: $out"; fi
say "desktop entry valid${out:+ ($out)}"
# --no-net: the metainfo names its home page and screenshot by URL; they are not fetched here.
appstreamcli validate --no-net "$usr/share/metainfo/$id.metainfo.xml" ||
  fail "appstreamcli validate failed"

for page in "$usr"/share/man/man1/*.1.gz; do
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
    man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null) || fail "man cannot render $page"
  [ -z "$warnings" ] || fail "$page: $warnings"
  MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q "^NAME" || fail "$page renders no NAME section"
done
say "manual pages render without warnings"

cli=$usr/bin/quillomat-cli
[ "$("$cli" --version)" = "quillomat-cli $version" ] || fail "quillomat-cli --version: $("$cli" --version)"
[ "$(env -u DISPLAY -u WAYLAND_DISPLAY "$usr/bin/quillomat" --version)" = "quillomat $version" ] ||
  fail "quillomat --version"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The staged binary has no Samples beside it: it must find them in the staged share/quillomat.
(cd "$work" && "$cli" --samples --quiet --fps 5 --out "$work/samples.gif") ||
  fail "the staged quillomat-cli --samples failed"
frames=$("$cli" inspect "$work/samples.gif" | sed -n 's/.*"frame_count": \([0-9]*\).*/\1/p')
samples=$(find "$usr/share/quillomat/Samples" -type f | wc -l)
[ "${frames:-0}" -eq "$samples" ] || fail "the staged --samples made $frames frames of $samples samples"
say "staged programs run: quillomat-cli $version, --samples made $frames frames"

rm -rf "$build/package"
(cd "$build" && cpack -G DEB >/dev/null 2>&1) || fail "cpack failed"
debs=( "$build"/package/*.deb )
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single package"
deb=${debs[0]}
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/quillomat ./usr/bin/quillomat-cli ./usr/share/applications/$id.desktop \
         ./usr/share/doc/quillomat/copyright ./usr/share/quillomat/Samples/frame12.jpg; do
  grep -q " $f$" <<<"$contents" || fail "the package has no $f"
done
dpkg-deb -f "$deb" Depends | grep -q "libqt6widgets6" || fail "the package does not depend on Qt"
say "package $(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
lintian --fail-on error "$deb" || fail "lintian reports errors"
say "lintian: no errors"
