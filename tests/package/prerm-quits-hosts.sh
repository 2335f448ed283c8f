#!/usr/bin/env bash
# Run in a process namespace of its own, so that the hosts it starts are the only ones the prerm can find:
# starts a headless host from the unpacked package for root and one for another user (nobody), runs the
# package's prerm as a removal does, and checks that both hosts quit.
# Usage: prerm-quits-hosts.sh <unpacked root> <prerm> <scratch folder>
set -euo pipefail
root=$1 prerm=$2 scratch=$3
hosts=()
# Whether the command succeeds within ten seconds.
within10s() { for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done; return 1; }
gone() { ! kill -0 "$1" 2>/dev/null; }

start() { # user
    local home=$scratch/home-$1
    mkdir -p "$home/run" && chmod 700 "$home/run" && chown -R "$1" "$home"
    runuser -u "$1" -- env -i HOME="$home" XDG_RUNTIME_DIR="$home/run" PATH=/usr/bin:/bin \
        DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus \
        "$root/usr/bin/ferrowyn-host" --headless --loopback --port $((20000 + RANDOM % 20000)) --qr=none \
        >"$home/output" 2>&1 &
    hosts+=($!)
    # Ready once it listens for requests.
    within10s test -S "$home/run/ferrowyn-host.socket" && return 0
    echo "the host of $1 did not start: $(cat "$home/output")" >&2
    return 1
}

start root
start nobody
PATH="$root/usr/bin:$PATH" sh "$prerm" remove
status=0
for host in "${hosts[@]}"; do
    if ! within10s gone "$host"; then
        echo "a host is still running after the prerm" >&2
        status=1
        kill "$host"
    fi
done
exit $status
