#!/bin/bash
# Runs the demo session (scripts/run) with the device module's access record
# on, then checks every recorded access against the vendor policy and the
# owners and modes init and ueventd give the .rc's user and groups.
#   access_check.sh BUILD_DIR WORK_DIR
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$1
work=$2
mkdir -p "$work"
record=$work/access-record.txt
rm -f "$record"
TWINEL_BUILD_DIR=$build TWINEL_ACCESS_RECORD=$record "$top/scripts/run" >"$work/run.log" 2>&1 ||
    { cat "$work/run.log"; exit 1; }
exec "$top/scripts/android-check" --work "$work/check" --only access --record "$record"
