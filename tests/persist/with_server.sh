#!/bin/sh
# Runs the programs given after $1 (the dorvane-vpod program) as clients of one vpod server
# process, so the end-to-end suites prove that a virtual pod behaves through the server as it
# does in process. Fails when any program fails or hangs; the server is stopped either way.
server=$1; shift
sock=$(mktemp -u "${TMPDIR:-/tmp}/dorvane-vpod-XXXXXX.sock")
"$server" serve --socket "$sock" >/dev/null & pid=$!
trap 'kill -TERM $pid 2>/dev/null; wait $pid' EXIT
trap 'exit 1' INT TERM HUP
i=0
while [ ! -S "$sock" ] && [ $i -lt 500 ]; do sleep 0.01; i=$((i + 1)); done
export DORVANE_VPOD_SERVER="$sock"
status=0
for program in "$@"; do
    timeout 300 "$program" >/dev/null || { echo "failed through the vpod server: $program"; status=1; }
done
exit $status
