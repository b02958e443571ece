#!/bin/bash
# Writes a C++ header holding the released interface hashes of current.txt,
# so that the test can check them on a device where the file is not present.
# Usage: gen_released_hashes.sh current.txt [OUTPUT]   (standard output without OUTPUT)
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ] || [ ! -r "$1" ]; then
    echo "usage: $0 current.txt [OUTPUT]" >&2
    exit 64
fi
if [ $# -eq 2 ]; then
    exec >"$2"
fi

echo "// Generated from current.txt by gen_released_hashes.sh; do not edit."
echo "#pragma once"
echo ""
echo "#include <map>"
echo "#include <string>"
echo ""
echo "// Released hash (hidl-gen -Lhash, lower-case hex) of each frozen interface."
echo "static const std::map<std::string, std::string> kReleasedHashes = {"
sed -n -E 's/^([0-9a-f]{64}) ([A-Za-z0-9_.]+@[0-9]+\.[0-9]+::[A-Za-z0-9_]+)[[:space:]]*$/        {"\2", "\1"},/p' "$1"
echo "};"
