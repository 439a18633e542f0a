#!/bin/sh
# Guest side of a measurement on the real stack (figures only): the connection interval bluetoothd
# sets for a dongle, and whether a dongle that asks for the shortest one (7.5 ms) once connected
# gets it. The program connects to the dongle through bluetoothd on hci0 and sends keys and motion
# for a while; meanwhile the dongle's controller (hci1) asks for 7.5 ms (the LE connection update
# a peripheral starts with the connection parameters request procedure). The btmon trace says what
# each side was given. Arguments: the bus policy of the virtual dongles, the trace script, the
# program, its options.
. "$RIG_LIB"
cp "$1" /etc/dbus-1/system.d/ || exit 1
stages=$2
shift 2
rig_bluetooth_up 2 || exit 1
program=$1
shift
(
  i=0
  while [ $i -lt 120 ]; do
    handle=$(hcitool -i hci1 con 2>/dev/null | sed -n 's/.*handle \([0-9]*\).*/\1/p' | head -1)
    if [ -n "$handle" ]; then
      sleep 8
      rig_log "the dongle's controller asks for 7.5 ms on handle $handle"
      hcitool -i hci1 lecup --handle "$handle" --min 6 --max 6 --latency 0 --timeout 200 >>"$RIG_OUT/lecup.log" 2>&1
      rig_log "the request returned $?"
      break
    fi
    sleep 1
    i=$((i + 1))
  done
) &
CORVASTEL_ARTIFACTS_DIR=$RIG_OUT "$program" --real-stack "$@" >"$RIG_OUT/key-latency.log" 2>&1
rc=$?
rig_log "the program ended with $rc"
python3 "$stages" "$RIG_OUT/btmon.snoop" /dev/null >"$RIG_OUT/intervals.txt" 2>&1
grep -E 'connection|interval' "$RIG_OUT/intervals.txt"
exit $rc
