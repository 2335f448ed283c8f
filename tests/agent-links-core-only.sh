#!/usr/bin/env bash
# Fails when the agent loads a desktop library: it runs on machines and in sessions without one.
# Usage: agent-links-core-only.sh <ferrowyn-agent>
set -euo pipefail
libraries=$(ldd "$1")
# ldd answered for a Qt program at all, or the check below could not fail.
grep -q 'libQt6Core' <<<"$libraries" || { echo "ldd lists no Qt Core for $1" >&2; exit 1; }
if grep -E 'libsecret|libQt6Gui|libqrcodegencpp' <<<"$libraries"; then
    echo "the agent links the desktop libraries above" >&2
    exit 1
fi
