#!/bin/sh
# Guest side of a probe run on the real stack (tests/support/kernel/kernel-rig): two emulated LE
# controllers, bluetoothd, the virtual dongle as a peripheral on hci1, dbus-monitor and btmon
# recording, then the probe as the central on hci0. Arguments: the bus policy of the virtual
# dongles, corvastel-virtual-dongles, corvastel-bluez-probe.
. "$RIG_LIB"
rig_central_up "$1" 2 || exit 1
dbus-monitor --system >"$RIG_OUT/dbus-monitor.txt" 2>&1 &
monitor=$!
"$2" --bluez-adapters hci1 --dongle "name=Corvastel-A,readable=F801" >"$RIG_OUT/dongles.log" 2>&1 &
dongles=$!
n=0
until grep -q '^ready' "$RIG_OUT/dongles.log"; do
  n=$((n + 1))
  [ "$n" -lt 60 ] || { rig_log "the virtual dongle never became ready"; exit 1; }
  sleep 0.5
done
address=$(sed -n 's/.*takes the address of [^:]*: //p' "$RIG_OUT/dongles.log" | head -n1)
rig_log "probe starts against $address"
"$3" --device "$address" --adapter hci0 --control org.corvastel.VirtualDongles >"$RIG_OUT/probe.txt" 2>&1
rc=$?
rig_log "probe ended with $rc"
kill "$dongles" "$monitor"
sleep 1
exit $rc
