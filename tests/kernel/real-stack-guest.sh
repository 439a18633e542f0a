#!/bin/sh
# Guest side of the real-stack test: three emulated LE controllers (hci0 for the program, hci1 and
# hci2 for the dongles), a system bus that lets the virtual dongles own their control name, one
# bluetoothd, then the test program. Arguments: the bus policy of the virtual dongles, the test
# program, its options.
. "$RIG_LIB"
cp "$1" /etc/dbus-1/system.d/ || exit 1
shift
rig_bluetooth_up 3 || exit 1
# Qt's BlueZ backend takes the first adapter bluetoothd lists, /org/bluez/hci0: make sure that is
# the controller meant for the central before the program starts.
btmgmt --index 0 info | grep -q 'addr 00:AA:01:00:00:00' || { rig_log "hci0 is not the central's controller"; exit 1; }
program=$1
shift
rig_log "test starts"
QT_LOGGING_RULES="${QT_LOGGING_RULES:-qt.bluetooth*=true}" CORVASTEL_ARTIFACTS_DIR=$RIG_OUT "$program" "$@" >"$RIG_OUT/test.log" 2>&1
rc=$?
rig_log "test ended with $rc"
cat "$RIG_OUT/test.log"
exit $rc
