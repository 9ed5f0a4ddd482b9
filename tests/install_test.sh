#!/usr/bin/env bash
# The installed files and the Debian package. Usage: install_test.sh install|package BUILD-DIR
set -euo pipefail
what=$1
build=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

# Every file of the program, under its prefix.
expected_files="bin/trovix
bin/trovix-cli
libexec/trovix/trovix-capture
share/applications/invalid.trovix.Trovix.desktop
share/doc/trovix/changelog.gz
share/doc/trovix/copyright
share/icons/hicolor/32x32/apps/trovix.png
share/icons/hicolor/48x48/apps/trovix.png
share/icons/hicolor/scalable/apps/trovix.svg
share/lintian/overrides/trovix
share/man/man1/trovix-cli.1.gz
share/man/man1/trovix.1.gz
share/metainfo/invalid.trovix.Trovix.metainfo.xml"

# Width and height from a PNG's header, as "WxH".
png_size() { od -An -tu1 -j16 -N8 "$1" | awk '{print $3*256+$4 "x" $7*256+$8}'; }

case $what in
install)
  cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
  files=$(cd "$scratch/prefix" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
  [ "$files" = "$expected_files" ] || fail "installed files differ:"$'\n'"$files"
  entry=$scratch/prefix/share/applications/invalid.trovix.Trovix.desktop
  desktop-file-validate "$entry" || fail "desktop entry not valid"
  grep -qx 'Categories=Network;Monitor;' "$entry" || fail "categories"
  grep -qx 'Icon=trovix' "$entry" || fail "icon name"
  appstreamcli validate --no-net "$scratch/prefix/share/metainfo/invalid.trovix.Trovix.metainfo.xml" ||
    fail "AppStream metainfo not valid"
  icons=$scratch/prefix/share/icons/hicolor
  [ "$(png_size "$icons/32x32/apps/trovix.png")" = 32x32 ] || fail "32 px icon is $(png_size "$icons/32x32/apps/trovix.png")"
  [ "$(png_size "$icons/48x48/apps/trovix.png")" = 48x48 ] || fail "48 px icon is $(png_size "$icons/48x48/apps/trovix.png")"
  grep -q 'viewBox="0 0 48 48"' "$icons/scalable/apps/trovix.svg" || fail "SVG has no 48 x 48 view box"
  grep -Eq '<(circle|ellipse|path|polyline|polygon|rect)' "$icons/scalable/apps/trovix.svg" || fail "SVG draws nothing"
  [ "$(stat -c %a "$scratch/prefix/libexec/trovix/trovix-capture")" = 750 ] || fail "helper mode"
  zcat "$scratch/prefix/share/man/man1/trovix-cli.1.gz" | grep -q '^\.SH OPTIONS' || fail "trovix-cli.1 has no options"
  echo "installed: $(echo "$expected_files" | wc -l) files, desktop entry and metainfo valid"
  ;;
package)
  if ! command -v dpkg-deb >/dev/null; then
    echo "skipped: no dpkg-deb here to build or list a Debian package"
    exit 77
  fi
  (cd "$build" && cpack -B "$scratch" >"$scratch/cpack.log" 2>&1) || { cat "$scratch/cpack.log"; fail "cpack"; }
  deb=$(ls "$scratch"/trovix_*.deb)
  contents=$(dpkg-deb -c "$deb")
  listed=$(awk '$1 !~ /^d/ {print $6}' <<<"$contents" | sed 's|^\./usr/||' | LC_ALL=C sort)
  [ "$listed" = "$expected_files" ] || fail "package holds:"$'\n'"$listed"
  grep -q '^-rwxr-x--- root/root .* \./usr/libexec/trovix/trovix-capture$' <<<"$contents" || fail "helper mode"
  depends=$(dpkg-deb -f "$deb" Depends)
  for dependency in libcap2-bin passwd libqt6widgets6 libpcap0.8; do
    [[ $depends == *"$dependency"* ]] || fail "Depends lacks $dependency: $depends"
  done
  dpkg-deb -e "$deb" "$scratch/control"
  grep -q '^helper=/usr/libexec/trovix/trovix-capture$' "$scratch/control/postinst" || fail "postinst"
  grep -q '^helper=/usr/libexec/trovix/trovix-capture$' "$scratch/control/postrm" || fail "postrm"
  if command -v lintian >/dev/null; then
    report=$(lintian "$deb" 2>/dev/null || true)
    ! grep -q '^E:' <<<"$report" || fail "lintian:"$'\n'"$report"
  else
    fail "lintian is missing (scripts/install-deps installs it)"
  fi
  echo "package: $(basename "$deb"), Depends: $depends"
  ;;
esac
