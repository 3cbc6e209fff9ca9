#!/bin/sh
# Usage: example_service.sh WEBD CONFCHECK EXAMPLES_DIR
# The example service and its schema: confcheck finds every fault of the
# broken file, the service refuses it with the same findings, starts on the
# good one with the schema's defaults, and its built-in schema is the file.
set -eu
webd=$1
confcheck=$2
dir=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "example service: $*"; exit 1; }

cd "$dir"
cat > "$tmp/expected" <<'END'
webd_broken.conf:2: warning: unknown section [sever]; did you mean [server]?
webd_broken.conf:5: warning: unknown key 'prot' in [server]; did you mean 'port'?
webd_broken.conf:6: error: '80O' is not an int (server port)
webd_broken.conf:7: error: 'fsat' is not one of fast, safe; did you mean 'fast'?
webd_broken.conf:8: warning: 'old_port' is deprecated; use 'port'
webd_broken.conf:13: error: 101 is out of range 0..100 (backend main weight)
webd_broken.conf: error: [server] name is required
END
status=0
"$confcheck" --schema webd.schema webd_broken.conf > "$tmp/found" || status=$?
[ "$status" = 1 ] || fail "confcheck exited $status on the broken file"
diff -u "$tmp/expected" "$tmp/found" || fail "confcheck's findings differ"

status=0
"$webd" webd_broken.conf 2> "$tmp/refused" > "$tmp/out" || status=$?
[ "$status" = 1 ] || fail "webd exited $status on the broken file"
diff -u "$tmp/expected" "$tmp/refused" || fail "webd's findings differ"
[ ! -s "$tmp/out" ] || fail "webd started on the broken file"

"$confcheck" --schema webd.schema webd.conf || fail "confcheck found something in webd.conf"
[ "$("$webd" webd.conf | head -n 1)" = "webd 'example' on *:9090, mode fast, idle 30s, cache 1610612736 bytes, debug 0, workers 0, slow share 0.5" ] ||
    fail "webd read: $("$webd" webd.conf)"
"$webd" webd.conf | grep -qx 'backend spare: http://spare.backend.internal:9000, weight 1, timeout 500ms' ||
    fail "webd's backends: $("$webd" webd.conf)"
"$webd" --print-schema | cmp -s - webd.schema || fail "the built-in schema is not webd.schema"

"$confcheck" --schema webd.schema --sample > "$tmp/sample.conf"
"$confcheck" --schema webd.schema "$tmp/sample.conf" > /dev/null || fail "the sample has findings"
echo "example service: ok"
