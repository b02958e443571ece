#!/bin/bash
#
# Copyright (C) 2026 The Twinel HAL Authors
#
# Licensed under the Apache License, Version 2.0 (the "License");
# you may not use this file except in compliance with the License.
#
# Compares the hidl-gen hash of every .hal file under the vendor.zyr.hardware
# root with current.txt. Fails, naming the package, when a hash differs, when
# a package or one of its files is missing from current.txt, when a recorded
# file is gone, or when current.txt itself cannot be read.
#
# usage: check-hashes.sh [interfaces-dir] [hidl-root-dir]

set -uo pipefail

readonly ROOT_NAME=vendor.zyr.hardware

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ifaces="$(cd "${1:-$here}" 2> /dev/null && pwd)" || {
    echo "check-hashes: no interfaces directory ${1:-$here}" >&2
    exit 2
}
hidl_root="$(cd "${2:-$ifaces/../host/hidl/interfaces}" 2> /dev/null && pwd)" || {
    echo "check-hashes: no android.hidl root ${2:-$ifaces/../host/hidl/interfaces}" >&2
    exit 2
}
current="$ifaces/current.txt"

command -v hidl-gen > /dev/null || { echo "check-hashes: hidl-gen not found" >&2; exit 2; }
[ -r "$current" ] || { echo "check-hashes: cannot read $current" >&2; exit 1; }

errors=0
fail() {
    echo "check-hashes: $*" >&2
    errors=$((errors + 1))
}

# Recorded hashes: "<fqname>::<type>" -> space-separated hashes. Like hidl-gen,
# a file matches when its hash equals any of the hashes on record for it.
declare -A recorded=()
declare -A recorded_pkgs=()
lineno=0
while IFS= read -r line || [ -n "$line" ]; do
    lineno=$((lineno + 1))
    line="${line%%#*}"
    read -r hash fqtype extra <<< "$line" || true
    [ -z "${hash:-}" ] && continue
    if [[ ! "$hash" =~ ^[0-9a-f]{64}$ || ! "${fqtype:-}" =~ ^[A-Za-z0-9_.]+@[0-9]+\.[0-9]+::[A-Za-z0-9_]+$ ||
          -n "${extra:-}" ]]; then
        fail "current.txt:$lineno: malformed line: $line"
        continue
    fi
    recorded["$fqtype"]+="$hash "
    recorded_pkgs["${fqtype%%::*}"]=1
done < "$current"

packages=()
while IFS= read -r dir; do
    rel="${dir#"$ifaces"/}"
    version="${rel##*/}"
    name="${rel%/*}"
    packages+=("$ROOT_NAME.${name//\//.}@$version")
done < <(find "$ifaces" -name '*.hal' -printf '%h\n' | sort -u -V)

declare -A present=()
for fq in "${packages[@]}"; do
    present["$fq"]=1
    if ! out="$(hidl-gen -Lhash -r "$ROOT_NAME:$ifaces" -r "android.hidl:$hidl_root" "$fq" 2>&1)"; then
        fail "$fq: hidl-gen cannot hash the package:"
        echo "$out" | sed 's/^/    /' >&2
        continue
    fi
    if [ -z "${recorded_pkgs[$fq]:-}" ]; then
        fail "$fq: package is missing from current.txt"
        continue
    fi
    declare -A seen=()
    while read -r hash fqtype; do
        [ -z "$hash" ] && continue
        seen["$fqtype"]=1
        on_record="${recorded[$fqtype]:-}"
        if [ -z "$on_record" ]; then
            fail "$fq: ${fqtype#*::} is missing from current.txt"
        elif [[ " $on_record" != *" $hash "* ]]; then
            fail "$fq: hash of ${fqtype#*::} differs from current.txt (now $hash, on record ${on_record% })"
        fi
    done <<< "$out"
    for fqtype in "${!recorded[@]}"; do
        if [ "${fqtype%%::*}" = "$fq" ] && [ -z "${seen[$fqtype]:-}" ]; then
            fail "$fq: ${fqtype#*::} is on record in current.txt but its .hal file is gone"
        fi
    done
    unset seen
done

for fq in "${!recorded_pkgs[@]}"; do
    [ -n "${present[$fq]:-}" ] || fail "$fq: package is on record in current.txt but has no .hal files"
done

if [ "$errors" -ne 0 ]; then
    echo "check-hashes: $errors problem(s); run update-hashes.sh only for a deliberate interface change" >&2
    exit 1
fi
echo "check-hashes: ${#packages[@]} packages match $current"
