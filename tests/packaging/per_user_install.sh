#!/usr/bin/env bash
# A per-user install into a fresh home whose PATH lacks the install folder, as
# a new user does it: the desktop entry names the installed executable, and
# GIO takes vla as the opener of .vldoc at once, checked and set with the
# commands the README gives. The home's path holds a space, which the entry
# must quote.
#   per_user_install.sh BUILD_DIR CONFIGURED_BINDIR
set -euo pipefail
build=$1
configured_bindir=$2

fail() { echo "FAIL: $*" >&2; exit 1; }

# The entry made at configure time names the configured prefix.
desktop-file-validate "$build/packaging/vla.desktop"
grep -qxF "Exec=$configured_bindir/vla %F" "$build/packaging/vla.desktop" ||
  fail "configured entry does not name $configured_bindir/vla"

root=$(mktemp -d "${TMPDIR:-/tmp}/vla install.XXXXXX")
trap 'rm -rf "$root"' EXIT
export HOME="$root/home"
mkdir -p "$HOME" "$root/system-data" "$root/system-config"
# Nothing of the machine's own desktop set-up takes part.
export XDG_DATA_HOME="$HOME/.local/share" XDG_CONFIG_HOME="$HOME/.config"
export XDG_STATE_HOME="$HOME/.local/state" XDG_CACHE_HOME="$HOME/.cache"
export XDG_DATA_DIRS="$root/system-data" XDG_CONFIG_DIRS="$root/system-config"
unset XDG_CURRENT_DESKTOP DBUS_SESSION_BUS_ADDRESS
export PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8

cmake --install "$build" --prefix "$HOME/.local" >/dev/null
bin="$HOME/.local/bin/vla"
entry="$XDG_DATA_HOME/applications/vla.desktop"
[ -x "$bin" ] || fail "no executable at $bin"
desktop-file-validate "$entry"
grep -qxF "Exec=\"$bin\" %F" "$entry" || fail "Exec does not name $bin: $(grep ^Exec "$entry")"
grep -qxF "TryExec=$bin" "$entry" || fail "TryExec does not name $bin"
"$bin" --version

# The README's check, then its fix, then the check again.
gio mime application/x-vldoc | tee "$root/mime"
grep -qxF "Default application for “application/x-vldoc”: vla.desktop" "$root/mime" ||
  fail "gio does not name vla.desktop"
gio mime application/x-vldoc vla.desktop
grep -q "^application/x-vldoc=vla.desktop;" "$XDG_CONFIG_HOME/mimeapps.list" ||
  fail "the default was not written"

# A ticket document is recognised by its name.
printf 'T1\r\nhttp://127.0.0.1:1\r\ndoc\r\n1\r\n' >"$root/informe.vldoc"
gio info -a standard::content-type "$root/informe.vldoc" | grep -q "application/x-vldoc" ||
  fail "*.vldoc is not application/x-vldoc"
echo "per-user install: ok"
