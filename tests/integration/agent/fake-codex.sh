#!/bin/sh
# A stand-in for a coding agent: a line in colour, a question, and what it got; exit 0 for "y", 3 otherwise.
printf '\033[32mPlanning a change in %s\033[0m\n' "$(basename "$PWD")"
printf 'Apply this change? [y/n] '
read -r answer
printf 'You said: %s\n' "$answer"
[ "$answer" = y ] && exit 0
exit 3
