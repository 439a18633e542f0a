# Helpers for guest scripts of the kernel rig (source it: . /path/to/guest-lib.sh). Plain sh; every
# process start is slow in the guest, so these poll sparingly.
#
#   rig_log TEXT...            a time-stamped line on the console and in $RIG_OUT/guest.log
#   rig_modules MODULE...      loads modules (there is no udev in the guest)
#   rig_bluetooth_up COUNT [BTVIRT_OPTION...]
#                              COUNT emulated LE controllers sharing one air (btvirt), a system bus,
#                              bluetoothd serving them all, btmon recording to $RIG_OUT/btmon.snoop.
#                              Controllers are hci0..hci<COUNT-1>, powered; returns 1 with a reason
#                              in guest.log when they do not come up. Options go to btvirt as they
#                              are (-s: emulated controllers on /tmp/bt-server-le as well, in the
#                              same air but unknown to the kernel).
#   rig_central_up POLICY COUNT [BTVIRT_OPTION...]
#                              The set-up of a program as the central with virtual dongles as its
#                              peripherals: the dongles' bus policy POLICY installed, then
#                              rig_bluetooth_up, then a check that hci0 (the adapter Qt's BlueZ
#                              backend picks) is the controller meant for the central. Returns 1 with
#                              a reason in guest.log when any of it fails.

rig_log() {
  line="[$(cut -d' ' -f1 /proc/uptime)] $*"
  echo "$line"
  echo "$line" >>"$RIG_OUT/guest.log"
}

rig_modules() {
  for m in "$@"; do modprobe "$m" || rig_log "modprobe $m failed"; done
}

# Counts the controllers the kernel's management interface lists (only ones that finished setup).
rig_controllers() {
  btmgmt info 2>/dev/null | grep -c '^hci[0-9]*:'
}

rig_bluetooth_up() {
  count=${1:-2}
  [ $# -gt 0 ] && shift
  # The crypto btvirt's controllers ask for at setup, loaded before they exist: a controller that
  # misses the kernel's 2 s reset deadline is never usable.
  rig_modules af_alg algif_hash algif_skcipher ecb cmac bluetooth hci_vhci
  mkdir -p /run/dbus
  dbus-daemon --system --fork --nopidfile || { rig_log "dbus-daemon failed"; return 1; }
  attempt=1
  while :; do
    btvirt -L -l"$count" "$@" >>"$RIG_OUT/btvirt.log" 2>&1 &
    RIG_BTVIRT_PID=$!
    # btmgmt itself takes a second or more to start here: poll sparingly.
    n=0
    for _ in 1 2 3 4 5 6; do
      sleep 1.5
      n=$(rig_controllers)
      [ "$n" -ge "$count" ] && break
    done
    [ "$n" -ge "$count" ] && break
    rig_log "btvirt attempt $attempt: $n of $count controllers came up"
    kill "$RIG_BTVIRT_PID" 2>/dev/null
    wait "$RIG_BTVIRT_PID" 2>/dev/null
    attempt=$((attempt + 1))
    [ "$attempt" -le 3 ] || { rig_log "emulated controllers never came up"; return 1; }
    sleep 1
  done
  i=0
  while [ "$i" -lt "$count" ]; do
    btmgmt --index "$i" power on >/dev/null 2>&1
    i=$((i + 1))
  done
  btmon -w "$RIG_OUT/btmon.snoop" >/dev/null 2>&1 &
  /usr/sbin/bluetoothd -n >>"$RIG_OUT/bluetoothd.log" 2>&1 &
  RIG_BLUETOOTHD_PID=$!
  for _ in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do
    sleep 0.5
    seen=$(dbus-send --system --print-reply --dest=org.bluez / org.freedesktop.DBus.ObjectManager.GetManagedObjects 2>/dev/null |
      grep -c 'object path "/org/bluez/hci[0-9]*"$')
    if [ "$seen" -ge "$count" ]; then
      rig_log "bluetooth up: $count controllers, bluetoothd serving them"
      return 0
    fi
  done
  rig_log "bluetoothd did not list $count adapters"
  return 1
}

rig_central_up() {
  policy=$1
  shift
  cp "$policy" /etc/dbus-1/system.d/ || { rig_log "cannot install the bus policy $policy"; return 1; }
  rig_bluetooth_up "$@" || return 1
  btmgmt --index 0 info | grep -q 'addr 00:AA:01:00:00:00' || { rig_log "hci0 is not the central's controller"; return 1; }
}
