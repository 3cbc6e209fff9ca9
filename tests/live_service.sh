#!/bin/sh
# Usage: live_service.sh LIVE_SERVICE CONFEDIT
# Runs the example service on a scratch file and edits it under it: with
# confedit (a save by rename), by hand with a line that does not load, by a
# replacement that mends it, and with SIGHUP; the service's log must tell
# each change, keep serving through the bad edit and say why.
set -eu
service=$1
confedit=$2
tmp=$(mktemp -d)
pid=
trap 'if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; fi; rm -rf "$tmp"' EXIT
conf=$tmp/demo.conf
log=$tmp/log
printf '[service]\nport = 8080\nname = demo\n' > "$conf"

"$service" "$conf" > "$log" 2>&1 &
pid=$!

# Waits until the log holds the line (fixed text), at most ten seconds.
expect() {
    i=0
    while ! grep -qxF -- "$1" "$log"; do
        i=$((i + 1))
        if [ $i -gt 200 ] || ! kill -0 "$pid" 2>/dev/null; then
            echo "the log lacks: $1"; echo "--- log:"; cat "$log"; exit 1
        fi
        sleep 0.05
    done
}

expect "reload (start): 2 changes"
expect "+ [service] name = demo  ($conf:3)"
expect "serving on port 8080"

"$confedit" "$conf" --set service port 9090
expect "~ [service] port: 8080 -> 9090  ($conf:2)"
expect "serving on port 9090"

printf 'broken line\n' >> "$conf"
expect "reload (file changed) failed: $conf:4: missing equal sign, line 4; keeping the configuration in use"

kill -HUP "$pid"
expect "reload (SIGHUP) failed: $conf:4: missing equal sign, line 4; keeping the configuration in use"

printf '[service]\nport = 9090\n' > "$tmp/new.conf"
mv "$tmp/new.conf" "$conf"
expect "- [service] name"

"$confedit" "$conf" --set service name again
expect "+ [service] name = again  ($conf:3)"

kill -HUP "$pid"
expect "reload (SIGHUP): 0 changes"

kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=
expect "stopping"
[ "$status" -eq 0 ] || { echo "the service ended with status $status"; cat "$log"; exit 1; }
# Serving went on at 9090 through the bad edit: no other port was served.
if grep -q '^serving on port' "$log" && grep '^serving on port' "$log" | grep -vqxE 'serving on port (8080|9090)'; then
    echo "served an unexpected port"; cat "$log"; exit 1
fi
echo ok
