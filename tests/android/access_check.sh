#!/bin/bash
# Runs the demo session (scripts/run) with the device module's access record
# on, and then what the demo leaves out (an accessory log line copied to the
# kernel log, pen mode, the touch self-test report, link recovery after an
# AT time-out), then checks every recorded
# access against the vendor policy and the owners and modes init and ueventd
# give the .rc's user and groups.
#   access_check.sh BUILD_DIR WORK_DIR
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$1
work=$2
mkdir -p "$work"
record=$work/access-record.txt
root=$work/root
rm -f "$record"
if [ -x "$root/stop" ]; then "$root/stop" >/dev/null || true; fi
rm -rf "$root"
export TWINEL_BUILD_DIR=$build TWINEL_ACCESS_RECORD=$record
TWINEL_DEVICE_ROOT=$root "$top/scripts/run" --keep >"$work/run.log" 2>&1 ||
    { cat "$work/run.log"; exit 1; }
trap '"$root/stop" >/dev/null' EXIT
# shellcheck source=/dev/null
source "$root/env"
session() {
    echo "\$ $*" >>"$work/run.log"
    "$@" >>"$work/run.log" 2>&1
}
must() { session "$@" || { cat "$work/run.log"; exit 1; }; }
must sim wait-dtr up 5000
must sim log access-check
for _ in $(seq 200); do grep -q 'Twinel: access-check' "$root/dev/kmsg" && break; sleep 0.025; done
must grep -q 'Twinel: access-check' "$root/dev/kmsg"
must twinelctl manageAesMode 2
must sim wait-record /sys/module/usbhid/parameters/aes_mode 1 5000
must twinelctl getTestResults
must sim at-script AT%NOANSWER silent
session twinelctl sendAtCommand AT%NOANSWER || true
must sim wait-record /sys/class/twinel/tw2/tw2_recovery 1 10000
"$root/stop" >/dev/null
trap - EXIT
"$top/scripts/android-check" --work "$work/check" --only access --record "$record"
