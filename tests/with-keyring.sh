#!/bin/sh
# Runs a command against a fresh, unlocked gnome-keyring. Call it inside its own dbus-run-session, so the
# keyring and its bus die with the test and the developer's own keyring is never touched.
set -eu
home=$(mktemp -d)
trap 'kill "$keyring_pid" 2>/dev/null || true; rm -rf "$home"' EXIT
export HOME="$home" XDG_DATA_HOME="$home/.local/share" XDG_CONFIG_HOME="$home/.config"
export XDG_RUNTIME_DIR="$home/runtime"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
eval "$(printf 'ferrowyn-test' | gnome-keyring-daemon --unlock --components=secrets)"
keyring_pid=${GNOME_KEYRING_PID:-}
"$@"
