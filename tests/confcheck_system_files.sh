#!/bin/sh
# Runs confcheck, confcheck --json and confcheck --lint on every *.conf,
# *.desktop and systemd unit of this machine.  Fails on a crash, a sanitizer
# report or invalid JSON (any exit status other than 0 to 3); prints how
# many files load, how many fail, and how often each warning is given.
# Usage: confcheck_system_files.sh CONFCHECK
set -eu
confcheck=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
find / -xdev \( -path /proc -o -path /sys -o -path /work -o -path /tmp \) -prune -o -type f \
    \( -name '*.conf' -o -name '*.desktop' -o -path '*/systemd/*' \( -name '*.service' \
    -o -name '*.socket' -o -name '*.timer' -o -name '*.target' -o -name '*.mount' \
    -o -name '*.path' \) \) -print 2>/dev/null | sort > "$tmp/files"
loaded=0
failed=0
: > "$tmp/warnings"
while IFS= read -r f; do
    for mode in dump json lint; do
        set +e
        case $mode in
        dump) "$confcheck" "$f" > /dev/null 2> "$tmp/err" ;;
        json) "$confcheck" --json "$f" > "$tmp/json" 2> "$tmp/err" ;;
        lint) "$confcheck" --lint "$f" > "$tmp/lint" 2> "$tmp/err" ;;
        esac
        rc=$?
        set -e
        if [ $rc -gt 3 ] || grep -q 'Sanitizer' "$tmp/err"; then
            echo "$f: confcheck ($mode) exited $rc"; cat "$tmp/err"; exit 1
        fi
        case $mode in
        dump) if [ $rc -eq 0 ]; then loaded=$((loaded + 1)); else failed=$((failed + 1)); fi ;;
        json)
            if [ $rc -eq 0 ] && command -v python3 > /dev/null &&
                ! python3 -c 'import json,sys; json.load(sys.stdin)' < "$tmp/json"; then
                echo "$f: invalid JSON"; exit 1
            fi ;;
        lint) sed -n 's/^.*: warning: //p' "$tmp/lint" >> "$tmp/warnings" ;;
        esac
    done
done < "$tmp/files"
echo "$(wc -l < "$tmp/files") files: $loaded load, $failed fail"
echo "warnings given by --lint:"
sed -e "s/^'[^']*' is defined again in section .*/a name defined again in a section/" \
    -e "s/^'\\\\\\(.\\)' in this unquoted value.*/an unquoted \\\\\\1 in a path-like value/" \
    -e 's/, which continues it onto line.*/, which continues it onto the next line/' \
    -e 's/ (.*//' -e 's/;.*//' "$tmp/warnings" | sort | uniq -c | sort -rn
