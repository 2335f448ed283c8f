#!/bin/sh
# A stand-in for the agent whose behaviour a test scripts through FAKE_AGENT_SCRIPT: steps separated by ";",
# the text taking printf escapes such as \n. Without an "exit" or "hang" step it exits with status 0.
#   out=TEXT, err=TEXT  write TEXT to standard output or standard error
#   env-out=NAME        write the variable's value and a line feed to standard output
#   pid-out             write "pid N" and a line feed to standard output
#   burst=N:NAME        write N lines "NAME=value" to standard output
#   grandchild=PATH     start a child that sleeps until signalled, with its pid in PATH; one sent SIGTERM
#                       leaves PATH.term behind
#   ignore-term         ignore SIGTERM from now on
#   exit=N, hang        exit with status N; wait for a signal for ever
set -f
IFS=';'
for step in $FAKE_AGENT_SCRIPT; do
    arg=${step#*=}
    case $step in
    out=*) printf '%b' "$arg" ;;
    err=*) printf '%b' "$arg" >&2 ;;
    env-out=*) eval "printf '%s\n' \"\${$arg}\"" ;;
    pid-out) echo "pid $$" ;;
    burst=*) eval "yes \"${arg#*:}=\${${arg#*:}}\"" | head -n "${arg%%:*}" ;;
    grandchild=*)
        sh -c 'trap ": >\"$0.term\"; exit" TERM; echo $$ >"$0.tmp"; mv "$0.tmp" "$0"
               while :; do sleep 1; done' "$arg" &
        while [ ! -e "$arg" ]; do sleep 0.01; done
        ;;
    ignore-term) trap '' TERM ;;
    exit=*) exit "$arg" ;;
    hang) while :; do sleep 1; done ;;
    esac
done
