#!/bin/sh
# The manual pages render without a warning.
set -eu
command -v groff > /dev/null || { echo "skipped: groff is not installed"; exit 77; }
status=0
for page in "$@"; do
    warnings=$(groff -ww -z -man "$page" 2>&1)
    if [ -n "$warnings" ]; then echo "$page:"; echo "$warnings"; status=1; fi
done
exit $status
