#!/bin/bash
#
# Copyright (C) 2026 The Twinel HAL Authors
#
# Licensed under the Apache License, Version 2.0 (the "License");
# you may not use this file except in compliance with the License.
#
# Proves that check-hashes.sh catches interface changes: each case works on a
# fresh copy of the interfaces directory, changes it in one way, and expects
# check-hashes.sh to fail naming the package (or to pass on the plain copy).
#
# usage: check-hashes-selftest.sh [interfaces-dir] [hidl-root-dir]

set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ifaces="$(cd "${1:-$here}" && pwd)" || exit 2
hidl_root="$(cd "${2:-$ifaces/../host/hidl/interfaces}" && pwd)" || exit 2

work="$(mktemp -d "${TMPDIR:-/tmp}/check-hashes-selftest.XXXXXX")" || exit 2
trap 'rm -rf "$work"' EXIT

failures=0
copy=""

fresh_copy() {
    rm -rf "$work/interfaces"
    cp -r "$ifaces" "$work/interfaces"
    copy="$work/interfaces"
}

# expect <pass|fail> <case name> [text the output must contain]
expect() {
    local want="$1" name="$2" needle="${3:-}" out rc
    out="$("$copy/check-hashes.sh" "$copy" "$hidl_root" 2>&1)"
    rc=$?
    if [ "$want" = pass ] && [ "$rc" -ne 0 ]; then
        echo "FAIL: $name: check failed on an unchanged copy (rc $rc):"
        echo "$out" | sed 's/^/    /'
        failures=$((failures + 1))
    elif [ "$want" = fail ] && [ "$rc" -ne 1 ]; then
        echo "FAIL: $name: check exited $rc, expected 1:"
        echo "$out" | sed 's/^/    /'
        failures=$((failures + 1))
    elif [ -n "$needle" ] && [[ "$out" != *"$needle"* ]]; then
        echo "FAIL: $name: output does not name '$needle':"
        echo "$out" | sed 's/^/    /'
        failures=$((failures + 1))
    else
        echo "ok: $name"
    fi
}

fresh_copy
expect pass "unchanged copy"

# A new enum type appended to a types.hal changes that file's hash.
fresh_copy
cat >> "$copy/coverdisplay/1.0/types.hal" <<'HAL'

enum PollingState : int32_t {
    IDLE = 0,
    POLLING = 1,
};
HAL
expect fail "types.hal of coverdisplay@1.0 extended" \
    "vendor.zyr.hardware.coverdisplay@1.0: hash of types differs"

# A new value inside an existing enum of a package that others import.
fresh_copy
sed -i 's/^    PAY = 6,$/    PAY = 6,\n    DOUBLE_TAP = 20,/' "$copy/lpwg/1.0/types.hal"
if grep -q DOUBLE_TAP "$copy/lpwg/1.0/types.hal"; then
    expect fail "enum value added to lpwg@1.0 LpwgEventStatus" \
        "vendor.zyr.hardware.lpwg@1.0: hash of types differs"
else
    echo "FAIL: could not edit lpwg/1.0/types.hal for the enum case"
    failures=$((failures + 1))
fi

# An operation added to an interface.
fresh_copy
sed -i 's/^    stopPolling() generates (int32_t ret);$/&\n    restartPolling() generates (int32_t ret);/' \
    "$copy/coverdisplay/1.0/ICoverDisplay.hal"
expect fail "operation added to ICoverDisplay" \
    "vendor.zyr.hardware.coverdisplay@1.0: hash of ICoverDisplay differs"

# A package whose lines are missing from current.txt.
fresh_copy
sed -i '/vendor\.zyr\.hardware\.lpwg@1\.3::/d' "$copy/current.txt"
expect fail "lpwg@1.3 missing from current.txt" \
    "vendor.zyr.hardware.lpwg@1.3: package is missing from current.txt"

# A new interface file in a recorded package.
fresh_copy
cat > "$copy/coverdisplay/1.0/ICoverDisplayCallback.hal" <<'HAL'
package vendor.zyr.hardware.coverdisplay@1.0;

interface ICoverDisplayCallback {
    oneway onFirmwareProgress(int32_t percent);
};
HAL
expect fail "new interface in coverdisplay@1.0" \
    "vendor.zyr.hardware.coverdisplay@1.0: ICoverDisplayCallback is missing from current.txt"

# A recorded package removed from the tree.
fresh_copy
rm -rf "$copy/accessory/uevent/1.2"
expect fail "accessory.uevent@1.2 removed" \
    "vendor.zyr.hardware.accessory.uevent@1.2: package is on record"

# A corrupted current.txt line.
fresh_copy
sed -i '0,/^[0-9a-f]\{64\} /s/^[0-9a-f]\{64\} /xyz /' "$copy/current.txt"
expect fail "malformed current.txt line" "malformed line"

if [ "$failures" -ne 0 ]; then
    echo "check-hashes-selftest: $failures case(s) failed"
    exit 1
fi
echo "check-hashes-selftest: all cases passed"
