#!/bin/sh
# Guest side of the Wayland test. As root, only what a desktop's installation has done before the
# user logs in: the input modules, and a user in the "input" group (made here, in the guest's
# throw-away root). The test program ($1) makes its virtual keyboard as root, then becomes that user
# for everything else: the compositor (with its own seat daemon built in), its client, the bus, the
# virtual dongles and the program.
. "$RIG_LIB"
rig_modules uinput evdev
[ -c /dev/uinput ] || { rig_log "no /dev/uinput"; exit 1; }
grep -q '^input:' /etc/group || { rig_log "no input group"; exit 1; }
uid=2000
while getent passwd "$uid" >/dev/null || getent group "$uid" >/dev/null; do uid=$((uid + 1)); done
grep -q '^rig:' /etc/passwd || echo "rig:x:$uid:$uid::/tmp:/bin/sh" >>/etc/passwd
grep -q '^rig:' /etc/group || echo "rig:x:$uid:" >>/etc/group
sed -i '/^input:/s/$/,rig/; /^input:/s/:,rig$/:rig/' /etc/group
logs=/tmp/wayland-logs
mkdir -p "$logs" && chown rig:rig "$logs"
rig_log "test starts"
RIG_USER=rig CORVASTEL_ARTIFACTS_DIR=$logs "$1" --gtest_output="xml:$logs/wayland.xml" >"$RIG_OUT/test.log" 2>&1
rc=$?
rig_log "test ended with $rc"
cp "$logs"/* "$RIG_OUT"/ 2>/dev/null
cat "$RIG_OUT/test.log"
exit $rc
