#!/bin/sh
# The relocatable object modules and the static library must need nothing from
# the C++ runtime: none of the symbols they leave undefined (after what an
# archive's own members define) may be a mangled name or a C++ ABI helper.
set -eu
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0
for f in "$@"; do
    nm --defined-only "$f" | awk 'NF >= 3 {print $3}' | sort -u > "$tmp/defined"
    nm -u "$f" | awk 'NF >= 1 && $NF !~ /:$/ {print $NF}' | sort -u > "$tmp/needed"
    bad=$(comm -23 "$tmp/needed" "$tmp/defined" | grep -E '^(_Z|__cxa_|__gxx_|_Unwind_)' || true)
    if [ -n "$bad" ]; then
        echo "$f needs the C++ runtime:"; echo "$bad"; status=1
    fi
    case "$f" in *.o)
        if grep -q 'Nivra_GetVersion' "$tmp/defined"; then
            echo "$f carries Nivra_GetVersion"; status=1
        fi ;;
    esac
done
exit $status
