#!/bin/sh
# Guest side of the key-latency measurement on the real stack: two emulated LE controllers (hci0
# for the program, hci1 for the dongle), a system bus that lets the virtual dongles own their
# control name, one bluetoothd, then the measuring program: on the real stack, then on the
# imitation of bluetoothd at the shortest connection interval in the same emulated machine, so the
# two differ only in the stack; then where a key's time went on the real stack (the btmon trace
# against the program's per-key details). Arguments: the bus policy of the virtual dongles, the
# stage script, the program, its options for both runs.
. "$RIG_LIB"
rig_central_up "$1" 2 || exit 1
stages=$2
shift 2
program=$1
rm -f "$RIG_OUT/keys.csv"
shift
rig_log "measurement on the real stack starts"
CORVASTEL_ARTIFACTS_DIR=$RIG_OUT "$program" --real-stack "$@" --details=$RIG_OUT/keys.csv \
  --benchmark_out=$RIG_OUT/real-stack.json --benchmark_out_format=json >"$RIG_OUT/key-latency.log" 2>&1
rc=$?
rig_log "measurement on the real stack ended with $rc; on the imitation starts"
CORVASTEL_ARTIFACTS_DIR=$RIG_OUT "$program" --links=7500 --slowdown=6 "$@" --details=$RIG_OUT/keys.csv \
  --benchmark_out=$RIG_OUT/imitation.json --benchmark_out_format=json >>"$RIG_OUT/key-latency.log" 2>&1
rc2=$?
rig_log "measurement on the imitation ended with $rc2"
[ "$rc" -eq 0 ] && rc=$rc2
python3 "$stages" "$RIG_OUT/btmon.snoop" "$RIG_OUT/keys.csv" >"$RIG_OUT/stages.txt" 2>&1
cat "$RIG_OUT/key-latency.log" "$RIG_OUT/stages.txt"
exit $rc
