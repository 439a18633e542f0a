#!/bin/sh
# Guest side of the real-stack test: three emulated LE controllers (hci0 for the program, hci1 and
# hci2 for the dongles), a system bus that lets the virtual dongles own their control name, one
# bluetoothd, a link held on hci2 by the handle pad, then the test program. Arguments: the bus
# policy of the virtual dongles, the handle pad, the test program, its options.
. "$RIG_LIB"
rig_central_up "$1" 3 -s || exit 1
pad=$2
shift 2
# The central's second link is its handle 43; the pad's link takes hci2's 42, so that the link to
# the dongle connected second (the one on hci2) is 43 on both sides.
"$pad" 2 00:AA:01:02:00:02 >>"$RIG_OUT/pad.log" 2>&1 || { rig_log "the handle pad failed: $(cat "$RIG_OUT/pad.log")"; exit 1; }
rig_log "handle pad linked"
program=$1
shift
rig_log "test starts"
QT_LOGGING_RULES="${QT_LOGGING_RULES:-qt.bluetooth*=true}" CORVASTEL_ARTIFACTS_DIR=$RIG_OUT "$program" "$@" >"$RIG_OUT/test.log" 2>&1
rc=$?
rig_log "test ended with $rc"
cat "$RIG_OUT/test.log"
exit $rc
