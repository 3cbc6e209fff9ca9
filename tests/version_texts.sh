#!/bin/sh
# Every four-part version number in the shipped texts (README, docs, public
# headers, the generated manual pages) must be the project's version.
set -eu
version=$1
root=$2
shift 2
found=$(grep -rHnoE '\b[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+\b' "$root/README.md" "$root/docs" \
    "$root/lib"/*.h "$@" | grep -v "\.in:" || true)
[ -n "$found" ] || { echo "no version found in the shipped texts"; exit 1; }
wrong=$(printf '%s\n' "$found" | grep -vE ":$(printf '%s' "$version" | sed 's/\./\\./g')\$" || true)
if [ -n "$wrong" ]; then
    echo "version texts that differ from $version:"
    printf '%s\n' "$wrong"
    exit 1
fi
