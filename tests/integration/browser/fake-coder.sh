#!/bin/bash
# A stand-in for a coding agent in the browser test: a line in colour, then an answer to each line typed.
# "ticks N" writes N numbered lines, 20 ms apart, so that output goes on while the test cuts the connection;
# "lines N" writes N numbered lines at once; "keys" turns to the alternate screen, as a full-screen program does,
# and shows every byte typed in hex ("<1b><5b><41>" for the up arrow).
printf '\033[32mReady in %s\033[0m\n' "$(basename "$PWD")"
while printf '> ' && read -r line; do
    case "$line" in
    ticks\ *) for n in $(seq "${line#ticks }"); do printf 'tick %d\n' "$n" && sleep 0.02; done ;;
    lines\ *) seq -f 'line %g' "${line#lines }" ;;
    keys)
        # Echo off once: "read -s" turns it back on between keys, and a key arriving then would show twice.
        stty -echo -icanon
        printf '\033[?1049hkeys:'
        while IFS= read -rn1 -d '' key; do printf '<%02x>' "'$key"; done
        ;;
    *) printf 'You said: %s\n' "$line" ;;
    esac
done
