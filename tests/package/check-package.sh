#!/usr/bin/env bash
# Packages the build tree as the Debian package, then checks that the package holds the installed layout (the
# agent where the host looks for it and the sessions' holder beside it, not among the commands; no tmux), that
# its desktop entry, AppStream metadata and lintian's view of it raise no error, that its manual page shows
# every option, and that an unpacked copy answers --version without a display, finds its agent where the host's
# own locator looks, and would start at login with its installed icon.
# Usage: check-package.sh <cpack> <build dir> <installed-host>
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$1" --config "$2/CPackConfig.cmake" -B "$work" >/dev/null
deb=$(echo "$work"/ferrowyn-host_*.deb)
status=0
fail() { echo "$*" >&2; status=1; }

contents=$(dpkg-deb -c "$deb")
for expected in bin/ferrowyn-host libexec/ferrowyn/ferrowyn-agent libexec/ferrowyn/ferrowyn-session \
    share/applications/dev.ferrowyn.host.desktop \
    share/icons/hicolor/scalable/apps/dev.ferrowyn.host.svg share/icons/hicolor/256x256/apps/dev.ferrowyn.host.png \
    share/metainfo/dev.ferrowyn.host.metainfo.xml; do
    grep -q " \./usr/$expected\$" <<<"$contents" || fail "not in the package: $expected"
done
grep -q " \./usr/bin/ferrowyn-agent\$" <<<"$contents" && fail "the agent is installed as a command"
# Sessions are held by ferrowyn-session: a user's own tmux is none of the package's business.
dpkg-deb -f "$deb" Depends | grep -qw tmux && fail "the package depends on tmux"

root=$work/root
dpkg-deb -x "$deb" "$root"
desktop-file-validate "$root/usr/share/applications/dev.ferrowyn.host.desktop" || fail "desktop entry invalid"
appstreamcli validate-tree --no-net "$root" || fail "AppStream metadata invalid"
# The PNG's header gives its width and height: 256 by 256.
[[ $(od -An -tx1 -j16 -N8 "$root/usr/share/icons/hicolor/256x256/apps/dev.ferrowyn.host.png") == \
    " 00 00 01 00 00 00 01 00" ]] || fail "the PNG icon is not 256 px"
lintian --fail-on error "$deb" || fail "lintian reports errors"

# The manual page has an entry for every option --help lists, from the same table: a line that starts with it,
# since other entries mention options too.
manual=$(MANWIDTH=200 man -l "$root/usr/share/man/man1/ferrowyn-host.1.gz") || fail "man cannot show the manual page"
for option in $("$root/usr/bin/ferrowyn-host" --help | grep -o -- '--[a-z-]*' | sort -u); do
    grep -qE -- "^\s+(-[a-z], )?$option( |$)" <<<"$manual" || fail "the manual page has no entry for $option"
done
# Removing the package asks every user's running host to quit. Checked in a process namespace of its own, where
# only the test's hosts are; that needs root.
if unshare -p -f --mount-proc true 2>/dev/null; then
    dpkg-deb -e "$deb" "$work/control"
    chmod 755 "$work"
    unshare -p -f --mount-proc "$(dirname "$0")/prerm-quits-hosts.sh" "$root" "$work/control/prerm" "$work" ||
        fail "the prerm left a host running"
else
    echo "not checked without root: the prerm asks running hosts to quit" >&2
fi
unit=$root/usr/lib/systemd/user/ferrowyn-host.service
grep -qx 'ExecStart=ferrowyn-host --headless --secrets-file' "$unit" || fail "the user service would lose its pairing"

version=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/ferrowyn-host" --version) || true
[[ $version == "Ferrowyn Host $(dpkg-deb -f "$deb" Version)" ]] || fail "unexpected version: $version"
agent=$("$3" "$root/usr/bin/ferrowyn-host" "$work/autostart") || true
[[ $agent == "$root/usr/libexec/ferrowyn/ferrowyn-agent" ]] || fail "the host finds its agent at: $agent"
"$agent" --version >/dev/null || fail "the unpacked agent does not run"
autostart=$work/autostart/dev.ferrowyn.host.desktop
desktop-file-validate "$autostart" || fail "autostart entry invalid"
icon=$(sed -n 's/^Icon=//p' "$autostart")
[[ -n $icon && -f $root/usr/share/icons/hicolor/scalable/apps/$icon.svg ]] || fail "autostart icon not installed: $icon"
exit $status
