#!/bin/sh
# nodeprint's identifier must be what the system's hostid command prints, in
# upper case, and the banner must come first.
set -eu
nodeprint=$1
version=$2
expected=$(hostid | tr 'a-f' 'A-F')
out=$("$nodeprint")
printf '%s\n' "$out"
printf '%s\n' "$out" | head -n 1 | grep -q '^nodeprint' || { echo "banner line missing"; exit 1; }
printf '%s\n' "$out" | sed -n 2p | grep -qxF "module version: $version" || { echo "version line missing"; exit 1; }
printf '%s\n' "$out" | sed -n 4p | grep -qx " your system ID is \"$expected\"" || { echo "expected $expected"; exit 1; }
