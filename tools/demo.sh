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
#
# Several tickets at once: --tickets N opens N tickets 0.1 s apart (the first
# vla handles them all; each later one hands its ticket over and ends), each
# for its own copy of the sample document, and checks that every ticket's
# upload holds that ticket's own edited bytes:
#   tools/demo.sh build --tickets 10
set -euo pipefail
BUILD=$(cd "${1:?usage: demo.sh BUILD_DIR [--tickets N]}" && pwd)
tickets=1
if [ "${2:-}" = --tickets ]; then tickets=${3:?--tickets needs a number}; fi
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

if [ "$tickets" -gt 1 ]; then
  [ "$mode" = scripted ] || { echo "--tickets needs the scripted editor" >&2; exit 2; }
  step "$tickets tickets, each for its own copy of tools/example/informe.doc"
  mkdir -p "$work/Descargas" "$work/expected"
  ids=()
  for i in $(seq -w 1 "$tickets"); do
    doc=$work/expected/informe-$i.doc
    { cat "$here/example/informe.doc"; printf '\\par Documento %s.\\par\n' "$i"; } >"$doc"
    "$SERVICE" issue --server "$base" --instance 7 --out "$work/Descargas/informe-$i.vldoc" "$doc" >/dev/null
    id=$(head -n 1 "$work/Descargas/informe-$i.vldoc" | tr -d '\r')
    ids+=("$id")
    # What the scripted editor will make of it.
    cp "$doc" "$work/expected/$id"
    printf '%s\n' "$SCRIPTED_EDITOR_TEXT" >>"$work/expected/$id"
    echo "   informe-$i.vldoc  ticket $id"
  done

  step "vla on each ticket, 0.1 s apart"
  status=0
  timeout 600 "$VLA" "$work/Descargas/informe-01.vldoc" >"$work/vla.log" 2>&1 &
  primary=$!
  for i in $(seq -w 2 "$tickets"); do
    sleep 0.1
    timeout 60 "$VLA" "$work/Descargas/informe-$i.vldoc" >>"$work/vla.log" 2>&1 || status=$?
  done
  wait "$primary" || status=$?
  grep -E 'Subiremos el fichero|No subiremos el fichero|ya está abierto|Terminamos de recibir' "$work/vla.log" |
    sort | uniq -c | indent vla

  step "the uploads"
  good=0
  for id in "${ids[@]}"; do
    upload=$(ls "$work/service/uploads/"*-"$id".doc 2>/dev/null | head -n 1 || true)
    if [ -n "$upload" ] && cmp -s "$work/expected/$id" "$upload"; then
      good=$((good + 1))
      echo "   $id: $(wc -c <"$upload") bytes, the ticket's own edit"
    else
      echo "   $id: ${upload:-nothing uploaded}: NOT the ticket's own edit"
    fi
  done
  left=$(ls -A "$work/Descargas")
  [ -z "$left" ] || echo "   still there: $left"
  echo
  if [ "$good" -eq "$tickets" ] && [ -z "$left" ] && [ "$status" -eq 0 ]; then
    echo "== $tickets tickets: $good uploads with the right bytes; every local file is gone"
    exit 0
  fi
  echo "== $tickets tickets: $good uploads with the right bytes (vla exit status $status) FAILED" >&2
  exit 1
fi

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
