#!/usr/bin/env bash
# The installed files and the Debian package.
#   install_test.sh install|package BUILD-DIR
#   install_test.sh package-install BUILD-DIR PLUGIN-DIR
#   install_test.sh helper BUILD-DIR
# "package" leaves the package in BUILD-DIR/package-test for "package-install", which
# installs it on this machine, runs the installed window with the probe plugin found in
# PLUGIN-DIR/generic, and purges it again.
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
  rm -rf "$build/package-test"
  (cd "$build" && cpack -B "$build/package-test" >"$scratch/cpack.log" 2>&1) || { cat "$scratch/cpack.log"; fail "cpack"; }
  deb=$(ls "$build"/package-test/trovix_*.deb)
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
  grep -q '^helper=/usr/libexec/trovix/trovix-capture$' "$scratch/control/prerm" || fail "prerm"
  command -v lintian >/dev/null || fail "lintian is missing (scripts/install-deps installs it)"
  command -v hardening-check >/dev/null || fail "hardening-check is missing (scripts/install-deps installs devscripts)"
  # Its hardening findings are only informational tags: they count here too. A sanitizer
  # build has no fortified functions: its own checks stand in for them.
  report=$(lintian --display-info "$deb" 2>/dev/null || true)
  nofortify=
  if grep -Eq '^TROVIX_SANITIZE:STRING=.+' "$build/CMakeCache.txt"; then
    nofortify=--nofortify
    report=$(grep -v hardening-no-fortify-functions <<<"$report" || true)
  fi
  ! grep -Eq '^E:|hardening-' <<<"$report" || fail "lintian:"$'\n'"$report"
  # Every program as the package has it (stripped). Debian 12's C start files carry no
  # control-flow marks, so no program linked here can show them.
  dpkg-deb -x "$deb" "$scratch/root"
  hardening-check --nocfprotection $nofortify "$scratch"/root/usr/bin/* "$scratch/root/usr/libexec/trovix/trovix-capture" \
    >"$scratch/hardening" 2>&1 || fail "hardening-check:"$'\n'"$(cat "$scratch/hardening")"
  echo "package: $(basename "$deb"), Depends: $depends"
  ;;
package-install)
  plugins=$3
  helper=/usr/libexec/trovix/trovix-capture
  # Says that the trovix package on this machine is this test's, left by a run that was
  # killed before it could purge it.
  marker=/run/trovix-package-install-test
  package_state() { dpkg-query -W -f='${db:Status-Status}' trovix 2>/dev/null || true; }
  if [ -e "$marker" ]; then
    dpkg --purge trovix >/dev/null 2>&1 || true
    rm -f "$marker"
  fi
  state=$(package_state)
  if [ -n "$state" ] && [ "$state" != not-installed ]; then
    echo "skipped: a trovix package this test did not install is on this machine ($state)"
    exit 77
  fi
  # The purge would take away a group or files that were there before.
  for taken in /usr/bin/trovix /usr/bin/trovix-cli /usr/libexec/trovix; do
    [ ! -e "$taken" ] || { echo "skipped: $taken exists without the package"; exit 77; }
  done
  if getent group trovix >/dev/null; then
    echo "skipped: group trovix exists without the package"
    exit 77
  fi
  deb=$(ls "$build"/package-test/trovix_*.deb)
  echo "$deb" >"$marker"
  # A hard link to the helper, and a group trovix this test made before installing.
  link=/usr/libexec/.trovix-package-install-test
  made_group=
  cleanup() {
    rm -f "$link"
    if [ -e "$marker" ]; then dpkg --purge trovix >/dev/null 2>&1 || true; rm -f "$marker"; fi
    if [ -n "$made_group" ] && getent group trovix >/dev/null; then groupdel trovix; fi
    rm -rf "$scratch"
  }
  trap cleanup EXIT
  trap 'exit 1' HUP INT TERM
  dpkg -i "$deb" >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; fail "dpkg -i"; }

  gid=$(getent group trovix | cut -d: -f3) || fail "no group trovix"
  [ "$(stat -c '%U:%G %a' "$helper")" = "root:trovix 750" ] || fail "helper is $(stat -c '%U:%G %a' "$helper")"
  [ "$(dpkg-statoverride --list "$helper")" = "root trovix 750 $helper" ] || fail "no statoverride"
  mapfile -t files < <(dpkg -L trovix)
  held=$(getcap "${files[@]}")
  [ "$held" = "$helper cap_net_raw=p" ] || fail "capabilities of the package's files:"$'\n'"$held"

  # The installed window as user nobody in a network namespace of its own, in the group
  # and outside it; the probe plugin reports from inside the window's process.
  chmod 0755 "$scratch"
  cp -r "$plugins" "$scratch/plugins"
  chmod -R a+rX "$scratch/plugins"
  run_window() {  # member|outsider
    local home=$scratch/$1 groups=--clear-groups status=0
    [ "$1" = outsider ] || groups=--groups=$gid
    mkdir -p "$home/Trovix"
    # The probe quits the application, which closes the window: no question then.
    printf '[Config]\r\nBindToInterface=127.0.0.1\r\nOnTcp=No\r\nOnUdp=Yes\r\nEnableFlipToTray=No\r\nAskBeforeDiscarding=No\r\n' \
      >"$home/Trovix/trovix.ini"
    chown -R 65534:65534 "$home"
    chmod 0700 "$home"
    timeout 60 unshare -n -- sh -c 'ip link set lo up && exec "$@"' sh \
      setpriv --reuid=65534 --regid=65534 "$groups" --inh-caps=-all \
      env -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen DISPLAY=":trovix-package-$$-$1" \
      HOME="$home" XDG_CONFIG_HOME="$home" XDG_RUNTIME_DIR="$home" \
      QT_PLUGIN_PATH="$scratch/plugins" QT_QPA_GENERIC_PLUGINS=trovixprobe TROVIX_PROBE_REPORT="$home/report" \
      /usr/bin/trovix >"$scratch/$1.log" 2>&1 || status=$?
    [ "$status" = 0 ] || { cat "$scratch/$1.log" >&2; fail "the window as $1 ended with $status"; }
    cat "$home/report" 2>/dev/null || { cat "$scratch/$1.log" >&2; fail "no report from the window as $1"; }
  }
  denied="capabilities: none
packet SOCK_RAW: EPERM
packet SOCK_DGRAM: EPERM
inet SOCK_RAW: EPERM
capset CAP_NET_RAW: EPERM"
  report=$(run_window member)
  [ "$report" = $'row: \t0\tudp\t127.0.0.1\t40551\t127.0.0.1\t40552\t34\t64'"
$denied
packet sockets: the window's 0, the namespace's 1" ] || fail "the window as a member of trovix:"$'\n'"$report"
  report=$(run_window outsider)
  [ "$report" = "row:  administrators rights required!
$denied
packet sockets: the window's 0, the namespace's 0" ] || fail "the window outside group trovix:"$'\n'"$report"

  # An upgrade (the same package again) takes the capability from the helper it replaces:
  # a hard link to the old one keeps none.
  dpkg_do() { dpkg "$@" >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; fail "dpkg $*"; }; }
  ln "$helper" "$link"
  dpkg_do -i "$deb"
  [ "$(getcap "$link" "$helper")" = "$helper cap_net_raw=p" ] ||
    fail "after the upgrade, capabilities:"$'\n'"$(getcap "$link" "$helper")"
  rm "$link"

  dpkg_do --purge trovix
  rm -f "$marker"
  ! getent group trovix >/dev/null || fail "group trovix is still there"
  [ -z "$(dpkg-statoverride --list "$helper")" ] || fail "statoverride is still there"
  for file in "${files[@]}"; do
    [[ -d $file || ! -e $file ]] || fail "$file is still there"
  done
  [ ! -e /usr/libexec/trovix ] || fail "/usr/libexec/trovix is still there"
  [ ! -e /var/lib/trovix ] || fail "/var/lib/trovix is still there"

  # A group trovix that was there before the package is the administrator's: it stays.
  groupadd --system trovix
  made_group=yes
  echo "$deb" >"$marker"
  dpkg_do -i "$deb"
  dpkg_do --purge trovix
  rm -f "$marker"
  getent group trovix >/dev/null || fail "the purge removed a group it did not make"
  groupdel trovix
  made_group=
  echo "package installed, captured as a member, refused outside the group, upgraded" \
    "leaving no capability behind, purged; a group there before it kept"
  ;;
helper)
  # scripts/run's privileged part, on a build folder of user nobody's that an earlier run
  # left with the capability on the built programs.
  if [ "$(id -u)" != 0 ]; then
    echo "skipped: needs root to run scripts/install-helper and become nobody"
    exit 77
  fi
  install_helper=$(dirname "$0")/../scripts/install-helper
  chmod 0755 "$scratch"
  user_build=$scratch/build
  mkdir "$user_build"
  cp "$build/trovix-capture" "$build/cli/trovix-cli" "$user_build/"
  cp "$build/trovix-capture" "$user_build/trovix"
  chown -R 65534:65534 "$user_build"
  setcap cap_net_raw+p "$user_build/trovix-capture" cap_net_raw+p "$user_build/trovix"
  folder=$scratch/usr/local/libexec/trovix
  "$install_helper" nogroup "$user_build" "$folder" >/dev/null || fail "install-helper"
  helper=$folder/trovix-capture
  [ "$(stat -c '%U:%G %a' "$helper" "$folder" "$scratch/usr")" = $'root:nogroup 750\nroot:root 755\nroot:root 755' ] ||
    fail "installed: $(stat -c '%n %U:%G %a' "$helper" "$folder")"
  [ "$(getcap "$helper")" = "$helper cap_net_raw=p" ] || fail "installed copy holds: $(getcap "$helper")"
  cmp -s "$helper" "$build/trovix-capture" || fail "installed copy differs"
  [ -z "$(getcap "$user_build/trovix-capture" "$user_build/trovix")" ] ||
    fail "the build folder still holds: $(getcap "$user_build/trovix-capture" "$user_build/trovix")"

  # Links planted in the build folder: to a root-only file (read as nobody, so refused) and
  # to a root-owned file holding a capability (left as it is).
  printf '\177ELF secret' >"$scratch/secret"
  chmod 0600 "$scratch/secret"
  cp "$build/trovix-capture" "$scratch/granted"
  setcap cap_net_raw+p "$scratch/granted"
  ln -sf "$scratch/secret" "$user_build/trovix-capture"
  ln -sf "$scratch/granted" "$user_build/trovix"
  ! "$install_helper" nogroup "$user_build" "$folder" 2>"$scratch/err" || fail "read through a link"
  grep -q "cannot read $user_build/trovix-capture" "$scratch/err" || fail "$(cat "$scratch/err")"
  [ "$(getcap "$scratch/granted")" = "$scratch/granted cap_net_raw=p" ] || fail "a link was followed"
  cmp -s "$helper" "$build/trovix-capture" || fail "installed copy changed"

  # A folder its user may write to is refused.
  ! "$install_helper" nogroup "$user_build" "$user_build/libexec" 2>"$scratch/err" || fail "into a user's folder"
  grep -q "$user_build must be root's" "$scratch/err" || fail "$(cat "$scratch/err")"
  [ ! -e "$user_build/libexec/trovix-capture" ] || fail "installed into a user's folder"

  # Names another user plants: a link as the copy's own name in a sticky folder (it would
  # take the capability to its target), a link to a root folder on the way there, and a
  # FIFO as the built helper (a read of it would wait for ever).
  as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups -- "$@"; }
  rm "$user_build/trovix-capture"
  install -o 65534 -g 65534 "$build/trovix-capture" "$user_build/"
  mkdir -m 1777 "$scratch/shared"
  mkdir "$scratch/elsewhere"
  install -d -o 65534 -g 65534 "$scratch/fifo"
  cp "$build/trovix-capture" "$scratch/target"
  as_nobody ln -s "$scratch/target" "$scratch/shared/trovix-capture"
  as_nobody ln -s "$scratch/elsewhere" "$scratch/shared/on-the-way"
  as_nobody mkfifo "$scratch/fifo/trovix-capture"
  while read -r from into expected; do
    status=0
    timeout 20 "$install_helper" nogroup "$from" "$into" >/dev/null 2>"$scratch/err" </dev/null || status=$?
    [ "$status" = 1 ] && grep -qF "$expected" "$scratch/err" || fail "into $into from $from: $status, $(cat "$scratch/err")"
  done <<END
$user_build $scratch/shared $scratch/shared must be root's and writable by root alone (it is uid 0, mode 1777)
$user_build $scratch/shared/on-the-way/trovix $scratch/shared/on-the-way is a link of uid 65534's
$scratch/fifo $folder $scratch/fifo/trovix-capture is not a plain file
END
  [ -z "$(getcap "$scratch/target")" ] && [ -z "$(ls "$scratch/elsewhere")" ] || fail "a planted name redirected the install"

  # --user: a group of that user's alone, though the user shares the primary group users.
  name=trovix-install-test
  forget_user() { userdel "$name" 2>/dev/null || true; groupdel "trovix-$name" 2>/dev/null || true; }
  forget_user
  trap 'forget_user; rm -rf "$scratch"' EXIT
  useradd --system --no-create-home --gid users "$name"
  "$install_helper" --user "$name" "$user_build" "$folder" >/dev/null || fail "install-helper --user"
  [ "$(getent group "trovix-$name" | cut -d: -f4) $(stat -c %G "$helper")" = "$name trovix-$name" ] ||
    fail "--user: group $(getent group "trovix-$name"), helper's $(stat -c %G "$helper")"
  usermod -aG "trovix-$name" nobody
  ! "$install_helper" --user "$name" "$user_build" "$folder" 2>"$scratch/err" || fail "into a group shared with nobody"
  grep -qF "group trovix-$name has other members than $name: $name,nobody" "$scratch/err" || fail "$(cat "$scratch/err")"
  echo "helper installed root:nogroup 0750 with cap_net_raw=p; the build folder holds no capability; links not" \
    "followed; planted names and a FIFO refused; --user makes a group of the user's alone"
  ;;
*)
  fail "no test named $what"
  ;;
esac
