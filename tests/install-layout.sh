#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and checks that the host is a command and that the agent
# is where the host looks for it.
# Usage: install-layout.sh <cmake> <build dir>
set -euo pipefail
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
"$1" --install "$2" --prefix "$prefix" >/dev/null
status=0
for expected in bin/ferrowyn-host libexec/ferrowyn/ferrowyn-agent; do
    [[ -x $prefix/$expected ]] || { echo "not installed: $expected" >&2; status=1; }
done
[[ ! -e $prefix/bin/ferrowyn-agent ]] || { echo "the agent is installed as a command" >&2; status=1; }
exit $status
