#!/bin/sh
# Usage: check_exports.sh LIBRARY.so HEADER...
# The shared library must export exactly the functions and variables that
# the public headers declare (extra or missing names fail), each with a
# version node, and need nothing but the C library.
set -eu
lib=$1
shift
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Declarations: the headers without comments and preprocessor lines, cut
# into statements at ";".  A statement that is not a typedef declares a
# function (its first name followed by "(") or, with "extern", a variable.
for h in "$@"; do
    sed -e 's://.*$::' -e '/^[[:space:]]*#/d' "$h"
done | tr '\n' ' ' | sed -e 's:/\*:\n/*:g' | sed -e 's:^/\*.*\*/::' | tr -d '\n' |
    sed -e 's:extern "C" {::g' | tr ';{}' '\n\n\n' > "$tmp/statements"
grep -v '^[[:space:]]*typedef' "$tmp/statements" |
    grep -oE '^[^(]*[A-Za-z_][A-Za-z0-9_]*[[:space:]]*\(' |
    grep -oE '[A-Za-z_][A-Za-z0-9_]*[[:space:]]*\($' | tr -d ' (' > "$tmp/declared"
grep -E '^[[:space:]]*extern ' "$tmp/statements" | grep -v '(' |
    grep -oE '[A-Za-z_][A-Za-z0-9_]*[[:space:]]*(\[[^]]*\])?[[:space:]]*$' |
    sed -e 's/\[.*//' | tr -d ' ' >> "$tmp/declared"
sort -u "$tmp/declared" -o "$tmp/declared"

# Exports: the defined dynamic symbols, less the version nodes themselves
# (absolute symbols named after each node).  Every export carries a version
# node, so that callers bind to this library's definition of each name.
nm -D --defined-only "$lib" | awk '$2 != "A" {print $3}' > "$tmp/versioned"
sed -e 's/@.*//' "$tmp/versioned" | sort -u > "$tmp/exported"
status=0
unversioned=$(grep -v '@' "$tmp/versioned" || true)
[ -z "$unversioned" ] || { echo "exported without a version node:"; echo "$unversioned"; status=1; }
extra=$(comm -13 "$tmp/declared" "$tmp/exported")
missing=$(comm -23 "$tmp/declared" "$tmp/exported")
[ -z "$extra" ] || { echo "exported but not in the headers:"; echo "$extra"; status=1; }
[ -z "$missing" ] || { echo "declared but not exported:"; echo "$missing"; status=1; }
echo "$(wc -l < "$tmp/exported") symbols exported"

needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for n in $needed; do
    case $n in libc.so.*) ;; *) echo "needs $n"; status=1 ;; esac
done
exit $status
