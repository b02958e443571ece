#!/bin/bash
#
# Copyright (C) 2026 The Twinel HAL Authors
#
# Licensed under the Apache License, Version 2.0 (the "License");
# you may not use this file except in compliance with the License.
#
# Regenerates the Android.bp of every package under the vendor.zyr.hardware
# root with hidl-gen -Landroidbp. Run after adding a package or a .hal file.
#
# usage: update-makefiles.sh [interfaces-dir] [hidl-root-dir]

set -euo pipefail

readonly ROOT_NAME=vendor.zyr.hardware

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ifaces="$(cd "${1:-$here}" && pwd)"
hidl_root="$(cd "${2:-$ifaces/../host/hidl/interfaces}" && pwd)"

command -v hidl-gen > /dev/null || { echo "update-makefiles: hidl-gen not found" >&2; exit 1; }

out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT

count=0
while IFS= read -r dir; do
    rel="${dir#"$ifaces"/}"
    version="${rel##*/}"
    name="${rel%/*}"
    fq="$ROOT_NAME.${name//\//.}@$version"
    # hidl-gen writes <out>/<package root path>/<package path>/Android.bp.
    hidl-gen -o "$out" -Landroidbp -r "$ROOT_NAME:$ifaces" -r "android.hidl:$hidl_root" "$fq"
    generated="$(find "$out" -name Android.bp -print -quit)"
    if [ -z "$generated" ]; then
        echo "update-makefiles: hidl-gen wrote no Android.bp for $fq" >&2
        exit 1
    fi
    install -m 644 "$generated" "$dir/Android.bp"
    rm -rf "${out:?}"/*
    count=$((count + 1))
done < <(find "$ifaces" -name '*.hal' -printf '%h\n' | sort -u -V)

echo "update-makefiles: $count Android.bp files written"
