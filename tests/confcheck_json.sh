#!/bin/sh
# confcheck --json gives valid JSON for any bytes, and decoding it (with
# Python's surrogateescape for bytes that are not UTF-8) gives back exactly
# the bytes of every value, as confcheck --get prints them.  And "-" reads
# standard input from a pipe.
set -eu
confcheck=$1
command -v python3 > /dev/null || { echo "skipped: python3 is not installed"; exit 77; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
printf 'plain = ascii text\nutf8 = caf\303\251 \342\202\254 \360\237\230\200\n' > "$tmp/a.conf"
printf 'latin1 = caf\351\nbroken = \342\202 \355\240\200 \300\257 \377\n' >> "$tmp/a.conf"
printf 'ctl = "a\\tb\\nc\001\177"\nq = "say \\"hi\\" \\\\ /"\n' >> "$tmp/a.conf"
printf '[\303\251\377]\n\377name = v\n[]\n= empty\n' >> "$tmp/a.conf"
[ "$(printf '[s]\nk = piped\n' | "$confcheck" --get s k -)" = piped ]
"$confcheck" --json "$tmp/a.conf" > "$tmp/out.json"
python3 - "$confcheck" "$tmp/a.conf" "$tmp/out.json" <<'PY'
import json, subprocess, sys
confcheck, conf, path = sys.argv[1:]
with open(path, "rb") as f:
    raw = f.read()
doc = json.loads(raw.decode("utf-8"))
count = 0
for section, entries in doc.items():
    for name, value in entries.items():
        sec = section.encode("utf-8", "surrogateescape")
        key = name.encode("utf-8", "surrogateescape")
        got = subprocess.run([confcheck, "--get", sec, key, conf], capture_output=True, check=True).stdout
        want = value.encode("utf-8", "surrogateescape") + b"\n"
        assert got == want, (section, name, got, want)
        count += 1
assert count == 8, count
print("%d values round-trip" % count)
PY
