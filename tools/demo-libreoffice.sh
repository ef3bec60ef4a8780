#!/usr/bin/env bash
# The round trip with LibreOffice Writer as the editor, on a virtual display.
#
#   tools/demo-libreoffice.sh BUILD_DIR
#
# Needs xvfb, xdotool and libreoffice-writer (not installed by ./run deps).
# Like tools/demo.sh, but the default editor for ".doc" is the system's
# LibreOffice Writer in a fresh private profile; xdotool plays the user: it
# waits for the document's window, types a word at the end, saves (in the
# document's own format) and quits. vla then uploads the document.
set -euo pipefail
BUILD=$(cd "${1:?usage: demo-libreoffice.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
for tool in Xvfb xdotool soffice; do
  command -v "$tool" >/dev/null || { echo "needs $tool (apt-get install xvfb xdotool libreoffice-writer)" >&2; exit 2; }
done
VLA=$BUILD/app/vla
SERVICE=$BUILD/tools/vla-ticket-service
WORD=${VLA_DEMO_WORD:-Palabra}

work=$(mktemp -d /tmp/vla-lo.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
step() { printf '\n== %s\n' "$*"; }
indent() { sed "s/^/   $1 | /"; }

step "private desktop and LibreOffice profile in $work/home"
export HOME=$work/home
export XDG_CONFIG_HOME=$HOME/.config XDG_DATA_HOME=$HOME/.local/share XDG_CACHE_HOME=$HOME/.cache
export XDG_DATA_DIRS=$XDG_DATA_HOME:/usr/share XDG_RUNTIME_DIR=$work/run
unset WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
mkdir -p "$XDG_CONFIG_HOME/libreoffice/4/user" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
cat >"$XDG_CONFIG_HOME/mimeapps.list" <<'LIST'
[Default Applications]
application/msword=libreoffice-writer.desktop
LIST
# No first-start dialogs, no tip of the day, no question about the format.
cat >"$XDG_CONFIG_HOME/libreoffice/4/user/registrymodifications.xcu" <<'XCU'
<?xml version="1.0" encoding="UTF-8"?>
<oor:items xmlns:oor="http://openoffice.org/2001/registry" xmlns:xs="http://www.w3.org/2001/XMLSchema" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
<item oor:path="/org.openoffice.Office.Common/Misc"><prop oor:name="ShowTipOfTheDay" oor:op="fuse"><value>false</value></prop></item>
<item oor:path="/org.openoffice.Office.Common/Misc"><prop oor:name="FirstRun" oor:op="fuse"><value>false</value></prop></item>
<item oor:path="/org.openoffice.Setup/Office"><prop oor:name="ooSetupInstCompleted" oor:op="fuse"><value>true</value></prop></item>
<item oor:path="/org.openoffice.Office.Common/Save/Document"><prop oor:name="WarnAlienFormat" oor:op="fuse"><value>false</value></prop></item>
</oor:items>
XCU

step "virtual display"
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.2; done
echo "   DISPLAY=$DISPLAY"

step "stand-in ticket service and a ticket for tools/example/informe.doc"
mkdir -p "$work/service" "$work/Descargas"
"$SERVICE" serve --port 0 --data "$work/service" --port-file "$work/port" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
base=http://127.0.0.1:$(cat "$work/port")
ticket=$work/Descargas/informe.vldoc
"$SERVICE" issue --server "$base" --instance 7 --out "$ticket" "$here/example/informe.doc" >/dev/null
echo "   $ticket for $base"

step "vla, with xdotool as the user"
"$VLA" "$ticket" >"$work/vla.log" 2>&1 &
vla_pid=$!
win=
for _ in $(seq 120); do
  win=$(xdotool search --onlyvisible --name 'informe' 2>/dev/null | head -n 1 || true)
  [ -n "$win" ] && break
  sleep 1
done
if [ -z "$win" ]; then
  echo "   LibreOffice showed no window for the document" >&2
  cat "$work/vla.log" >&2
  exit 1
fi
echo "   window $win: $(xdotool getwindowname "$win")"
sleep 3
xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win"
xdotool key --clearmodifiers ctrl+End
xdotool type --delay 50 " $WORD"
sleep 1
xdotool key --clearmodifiers ctrl+s
sleep 3
echo "   typed \"$WORD\", saved; closing LibreOffice"
xdotool key --clearmodifiers ctrl+q
for _ in $(seq 120); do kill -0 "$vla_pid" 2>/dev/null || break; sleep 1; done
status=0
wait "$vla_pid" || status=$?

step "vla's log"
grep -v -e '^xmlns' -e '^<' -e '^  <' "$work/vla.log" | cut -c1-200 | indent vla
step "the service's journal"
indent servicio <"$work/service/journal.log"
step "the upload"
upload=$(ls "$work/service/uploads/"* 2>/dev/null | head -n 1 || true)
if [ -n "$upload" ] && grep -aq "$WORD" "$upload"; then
  echo "   $upload: $(wc -c <"$upload") bytes, $(file -b "$upload" 2>/dev/null || echo document), holds \"$WORD\""
  [ "$status" -eq 0 ] && exit 0
fi
echo "   no upload with \"$WORD\" (vla exit status $status)" >&2
exit 1
