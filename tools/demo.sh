#!/usr/bin/env bash
# The main job: one ticket's whole round trip on a machine without a display.
#
#   tools/demo.sh BUILD_DIR            (what "./run demo" runs)
#
# It starts the stand-in ticket service on a free loopback port, issues a
# ticket for the bundled sample document, makes the scripted editor the
# default editor for ".doc" in a private desktop environment (its own HOME and
# XDG folders, a desktop entry, mimeapps.list and MIME database), and runs vla
# on the ticket. The scripted editor holds the document the way LibreOffice
# does (an open descriptor and ".~lock.NAME#"; a POSIX lock after saving),
# adds a paragraph, saves with a rename over the document and closes it. The
# demo then shows vla's log, the service's journal and the upload, and checks
# them.
#
# With a display and LibreOffice installed, VLA_DEMO_EDITOR=default keeps the
# machine's own desktop configuration, so the document opens in the real
# default editor (LibreOffice Writer for ".doc"); edit, save and close it and
# vla uploads it:
#   VLA_DEMO_EDITOR=default tools/demo.sh build
set -euo pipefail
BUILD=$(cd "${1:?usage: demo.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
VLA=$BUILD/app/vla
SERVICE=$BUILD/tools/vla-ticket-service
mode=${VLA_DEMO_EDITOR:-scripted}

work=$(mktemp -d /tmp/vla-demo.XXXXXX)
service_pid=
cleanup() {
  if [ -n "$service_pid" ]; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

step() { printf '\n== %s\n' "$*"; }
indent() { sed "s/^/   $1 | /"; }

if [ "$mode" = scripted ]; then
  step "private desktop environment in $work/home"
  export HOME=$work/home
  export XDG_CONFIG_HOME=$HOME/.config XDG_DATA_HOME=$HOME/.local/share XDG_CACHE_HOME=$HOME/.cache
  export XDG_DATA_DIRS=$XDG_DATA_HOME:/usr/share XDG_CONFIG_DIRS=/etc/xdg
  export XDG_RUNTIME_DIR=$work/run
  unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
  mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME/applications" "$XDG_DATA_HOME/mime/packages" \
    "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR" "$work/editor/bin"
  chmod 700 "$XDG_RUNTIME_DIR"
  install -m 755 "$here/scripted-editor.sh" "$work/editor/bin/scripted-editor"

  # The scripted editor as the default for Word documents, and vla as the
  # opener of ticket documents (a MIME type of their own).
  cat >"$XDG_DATA_HOME/applications/vla-editor-de-prueba.desktop" <<DESKTOP
[Desktop Entry]
Type=Application
Name=Editor de prueba
Exec=$work/editor/bin/scripted-editor %f
MimeType=application/msword;
NoDisplay=true
DESKTOP
  cat >"$XDG_DATA_HOME/applications/vla.desktop" <<DESKTOP
[Desktop Entry]
Type=Application
Name=Velmora Web
Exec=$VLA %f
MimeType=application/x-vldoc;
NoDisplay=true
DESKTOP
  cat >"$XDG_DATA_HOME/mime/packages/vla-vldoc.xml" <<'MIME'
<?xml version="1.0" encoding="UTF-8"?>
<mime-info xmlns="http://www.freedesktop.org/standards/shared-mime-info">
  <mime-type type="application/x-vldoc">
    <comment>Ticket de Velmora Web</comment>
    <glob pattern="*.vldoc"/>
  </mime-type>
</mime-info>
MIME
  update-mime-database "$XDG_DATA_HOME/mime"
  update-desktop-database "$XDG_DATA_HOME/applications" 2>/dev/null || true
  cat >"$XDG_CONFIG_HOME/mimeapps.list" <<'LIST'
[Default Applications]
application/msword=vla-editor-de-prueba.desktop
application/x-vldoc=vla.desktop
LIST
  echo "   default for .doc:   vla-editor-de-prueba.desktop -> $work/editor/bin/scripted-editor"
  echo "   default for .vldoc: vla.desktop -> $VLA"
  export SCRIPTED_EDITOR_TEXT='\par Párrafo añadido por el editor de prueba.\par'
  export SCRIPTED_EDITOR_OPEN_SECONDS=3 SCRIPTED_EDITOR_AFTER_SECONDS=1
  export SCRIPTED_EDITOR_LOG=$work/editor.log
fi

step "stand-in ticket service"
mkdir -p "$work/service"
"$SERVICE" serve --port 0 --data "$work/service" --port-file "$work/port" >/dev/null 2>"$work/service.err" &
service_pid=$!
for _ in $(seq 100); do
  [ -s "$work/port" ] && break
  sleep 0.1
done
[ -s "$work/port" ] || { cat "$work/service.err" >&2; echo "the service did not start" >&2; exit 1; }
base=http://127.0.0.1:$(cat "$work/port")
echo "   listening on $base"

step "a ticket for tools/example/informe.doc"
mkdir -p "$work/Descargas"
ticket=$work/Descargas/informe.vldoc
"$SERVICE" issue --server "$base" --instance 7 --out "$ticket" "$here/example/informe.doc" >/dev/null
tr -d '\r' <"$ticket" | indent vldoc

step "vla $ticket"
status=0
timeout 600 "$VLA" "$ticket" 2>&1 | indent vla || status=$?
if [ "$mode" = scripted ] && [ -f "$work/editor.log" ]; then indent editor <"$work/editor.log"; fi

step "the service's journal"
indent servicio <"$work/service/journal.log"

step "the upload"
upload=$(ls "$work/service/uploads/"* 2>/dev/null | head -n 1 || true)
ok=1
if [ -z "$upload" ]; then
  echo "   nothing was uploaded"
  ok=0
else
  echo "   $upload ($(wc -c <"$upload") bytes); changes against the original:"
  diff "$here/example/informe.doc" "$upload" | indent diff || true
  if cmp -s "$here/example/informe.doc" "$upload"; then
    echo "   the upload is unchanged"
    ok=0
  fi
fi
for f in "$ticket" "${ticket%.vldoc}.doc"; do
  if [ -e "$f" ]; then
    echo "   still there: $f"
    ok=0
  fi
done
if [ "$status" -ne 0 ]; then
  echo "   vla exited with $status"
  ok=0
fi
if [ "$ok" -eq 1 ]; then
  echo
  echo "== round trip complete: the edited document reached the service; both local files are gone"
  exit 0
fi
echo "== round trip FAILED" >&2
exit 1
