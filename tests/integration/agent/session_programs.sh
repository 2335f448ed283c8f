#!/bin/sh
# The test programs a session runs, by the name it is called with (each is a link to this file).
case "$(basename "$0")" in
counter)
    # Numbered lines in bursts with a euro sign written a byte at a time, then waits for a line and exits.
    i=0
    while [ $i -lt "${1:-400}" ]; do
        printf 'line %04d \342' $i
        sleep 0.001
        printf '\202\254\n'
        i=$((i + 1))
    done
    printf 'done\n'
    read -r _
    ;;
sizer)
    # The terminal's size now, and again after each line typed.
    stty size
    while read -r _; do stty size; done
    ;;
envdump)
    env
    printf 'end of environment\n'
    ;;
keydump)
    # Every byte typed, in hex, as it arrives: the terminal passes them raw.
    exec /usr/bin/python3 -c '
import os, sys, tty
tty.setraw(0)
sys.stdout.write("ready")
sys.stdout.flush()
while True:
    data = os.read(0, 65536)
    if data == b"q":
        break
    sys.stdout.write("<" + data.hex() + ">")
    sys.stdout.flush()
'
    ;;
burst)
    # Three million bytes at once, then an end.
    head -c 3000000 /dev/zero | tr '\0' z
    exit 7
    ;;
resumer)
    # A known stream of 2.2 MB, then on a line 6 MB more (beyond what is kept), then waits.
    seq 1 300000
    read -r _
    head -c 6000000 /dev/zero | tr '\0' z
    read -r _
    ;;
flood)
    exec yes 'flood flood flood flood flood flood flood flood'
    ;;
esac
