#!/usr/bin/env bash
# The Debian package as a user meets it: built with cpack from this build folder, installed with
# apt-get, started briefly, removed again. Checks what it holds, what its control fields say, that
# the installed program starts and ends, and that removing it leaves nothing behind.
# Usage: package-test.sh <build folder>
# Needs root (or passwordless sudo) and dpkg/apt-get; skipped (status 77) where they are missing or
# where a corvastel-pc package this test did not install is on the machine already.
set -euo pipefail
build=$(cd "$1" && pwd)
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }

command -v dpkg-deb >/dev/null && command -v apt-get >/dev/null || skip "no dpkg/apt-get on this machine"
if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif sudo -n true 2>/dev/null; then
  as_root=(sudo -n)
else
  skip "installing a package needs root or passwordless sudo"
fi
if dpkg-query -W -f='${Status}' corvastel-pc 2>/dev/null | grep -q 'installed'; then
  skip "a corvastel-pc package is installed already; this test leaves it alone"
fi

work=$(mktemp -d /tmp/corvastel-package-XXXXXX)
installed=0
cleanup() {
  # Never leave the package on the machine, whatever failed.
  if [ "$installed" = 1 ]; then
    "${as_root[@]}" apt-get purge -y -q -o DPkg::Lock::Timeout=300 corvastel-pc >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# Other engineers' test runs share this machine's package database: wait for its lock, never fail
# on it.
apt_get() { "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=300 "$@"; }

echo "--- cpack"
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out") >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack did not build the package"; }
deb=$(ls "$work"/out/corvastel-pc_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { cat "$work/cpack.log"; fail "cpack made no corvastel-pc_*.deb"; }
echo "built $(basename "$deb")"

echo "--- control fields"
field() { dpkg-deb -f "$deb" "$1"; }
maintainer=$(field Maintainer)
case "$maintainer" in
  *"@corvastel.invalid"* | "" ) fail "placeholder maintainer: '$maintainer'" ;;
  *"<"*"@"*">") echo "Maintainer: $maintainer" ;;
  *) fail "maintainer without an address: '$maintainer'" ;;
esac
description=$(field Description)
if grep -qi 'needs an X11 session' <<<"$description"; then fail "the description still says the app needs X11"; fi
grep -q 'Wayland' <<<"$description" || fail "the description does not say how the app works on Wayland"

echo "--- contents"
dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|' >"$work/contents"
for path in /usr/bin/corvastel-pc /usr/share/applications/corvastel-pc.desktop \
            /usr/share/icons/hicolor/scalable/apps/corvastel-pc.svg \
            /usr/share/doc/corvastel-pc/copyright /usr/share/doc/corvastel-pc/changelog.gz; do
  grep -qx "$path" "$work/contents" || fail "the package lacks $path"
done
dpkg-deb -x "$deb" "$work/root"
first=$(gzip -dc "$work/root/usr/share/doc/corvastel-pc/changelog.gz" | sed -n 1p)
[[ "$first" == "corvastel-pc ($(field Version))"* ]] || fail "the changelog's first entry is not this version: $first"
grep -q '^Copyright: ' "$work/root/usr/share/doc/corvastel-pc/copyright" || fail "the copyright file names no holder"
if grep -qi 'game pad' "$work/root/usr/share/icons/hicolor/scalable/apps/corvastel-pc.svg"; then
  fail "the icon still draws a game pad"
fi

echo "--- install"
apt_get install -y --no-install-recommends "$deb" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "apt-get could not install the package (a dependency missing here?)"; }
installed=1
dpkg -L corvastel-pc | sort >"$work/files"
[ -x /usr/bin/corvastel-pc ] || fail "/usr/bin/corvastel-pc is not there after installing"

echo "--- start"
# A home of its own: the single-instance lock, the settings and the nickname file land there, and a
# copy another test runs at the same time is not taken for a first copy.
home="$work/home"
mkdir -p "$home" && chmod 700 "$home"
ls -A /usr/bin >"$work/usr-bin-before"
env -i PATH=/usr/bin:/bin HOME="$home" XDG_RUNTIME_DIR="$home" QT_QPA_PLATFORM=offscreen \
  DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent /usr/bin/corvastel-pc >"$work/app.log" 2>&1 &
app=$!
sleep 3
kill -0 "$app" 2>/dev/null || { wait "$app" || true; cat "$work/app.log"; fail "the installed program ended by itself"; }
kill -TERM "$app"
status=0
wait "$app" || status=$?
# Ends as a terminated program does, once the window closed as a user would close it.
[ "$status" -eq 143 ] || { cat "$work/app.log"; fail "the program ended with status $status on SIGTERM"; }
echo "started and ended (status $status)"
ls -A /usr/bin >"$work/usr-bin-after"
diff "$work/usr-bin-before" "$work/usr-bin-after" >/dev/null ||
  fail "the program left files in /usr/bin: $(comm -13 "$work/usr-bin-before" "$work/usr-bin-after" | tr '\n' ' ')"

echo "--- remove"
apt_get remove -y corvastel-pc >"$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "apt-get remove failed"; }
installed=0
dpkg-query -W -f='${Status}' corvastel-pc 2>/dev/null | grep -q 'ok installed' && fail "still installed after remove"
left=()
while read -r path; do
  # Folders the package shares with others (/usr, /usr/share/doc, …) stay; its own files go.
  if [ -e "$path" ] && ! [ -d "$path" ]; then left+=("$path"); fi
done <"$work/files"
[ -e /usr/share/doc/corvastel-pc ] && left+=(/usr/share/doc/corvastel-pc)
[ -e /usr/bin/cvinfo.ini ] && left+=(/usr/bin/cvinfo.ini)
[ -e /usr/bin/settings.ini ] && left+=(/usr/bin/settings.ini)
[ ${#left[@]} -eq 0 ] || fail "left behind after remove: ${left[*]}"
echo "removed; nothing left behind"
