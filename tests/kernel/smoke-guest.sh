#!/bin/sh
# The rig itself: the arguments arrive intact, the host's tree is visible, the root is writable
# (overlay), modules load, results come back.
first=$1 second=$2 source=$3
status=0
check() { if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; status=1; fi; }
check "arguments arrive" '[ "$first" = "two words" ] && [ "$second" = "x" ]'
check "host tree visible" '[ -r "$source/tests/support/kernel/kernel-rig" ]'
check "root writable" 'echo x >/usr/rig-overlay-probe'
check "modules load" 'modprobe hci_vhci && [ -c /dev/vhci ]'
check "results share writable" 'echo done >"$RIG_OUT/smoke.txt"'
exit $status
