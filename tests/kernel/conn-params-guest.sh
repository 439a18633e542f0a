#!/bin/sh
# Guest side of a measurement on the real stack (figures only): the connection interval bluetoothd
# sets for a dongle, and whether a dongle that asks for the shortest one (7.5 ms) once connected
# gets it. The program connects through bluetoothd on hci0 to a virtual dongle served on hci1 that
# asks for 7.5 ms a second after the link is up (its controller's LE connection update, which
# becomes a connection parameters request to the central), then sends keys and motion. The btmon
# trace says what each side was given. Arguments: the bus policy of the virtual dongles, the trace
# script, the program, its options.
. "$RIG_LIB"
rig_central_up "$1" 2 || exit 1
stages=$2
shift 2
program=$1
shift
CORVASTEL_ARTIFACTS_DIR=$RIG_OUT "$program" --real-stack --dongle-traits=ask-interval-us=7500 "$@" \
  >"$RIG_OUT/key-latency.log" 2>&1
rc=$?
rig_log "the program ended with $rc"
python3 "$stages" "$RIG_OUT/btmon.snoop" /dev/null >"$RIG_OUT/intervals.txt" 2>&1
grep -E 'connection' "$RIG_OUT/intervals.txt"
grep -h 'connection interval' "$RIG_OUT"/*.log 2>/dev/null
exit $rc
