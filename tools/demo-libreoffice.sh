#!/usr/bin/env bash
# The round trip with LibreOffice Writer as the editor, on a virtual display.
#
#   tools/demo-libreoffice.sh BUILD_DIR [--two]
#
# Needs xvfb, xdotool and libreoffice-writer (not installed by ./run deps).
# Like tools/demo.sh, but the default editor for ".doc" is the system's
# LibreOffice Writer in a fresh private profile; xdotool plays the user: it
# waits for the document's window, types a word at the end, saves (in the
# document's own format) and quits. vla then uploads the document.
#
# --two: two tickets for two different documents open at once. The second
# vla hands its ticket to the first and ends; LibreOffice hands the second
# document to its running instance. xdotool edits, saves and closes the first
# document's window only, and the demo checks that the first document reached
# its own ticket while the second is still open and not uploaded; then it does
# the same with the second window, and checks that vla ended well and left no
# local file behind.
set -euo pipefail
BUILD=$(cd "${1:?usage: demo-libreoffice.sh BUILD_DIR [--two]}" && pwd)
two=0
if [ "${2:-}" = --two ]; then two=1; fi
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
fail() { show_logs >&2; echo "   $*" >&2; exit 1; }

# Waits for the window whose title holds NAME and prints its id.
window_of() {
  local win
  for _ in $(seq 120); do
    win=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1 || true)
    if [ -n "$win" ]; then echo "$win"; return 0; fi
    sleep 1
  done
  fail "LibreOffice showed no window for $1"
}
# Types WORD at the end of the document in window WIN and saves it.
edit_and_save() {
  echo "   window $1: $(xdotool getwindowname "$1")"
  sleep 3
  xdotool windowactivate --sync "$1" 2>/dev/null || xdotool windowfocus --sync "$1"
  xdotool key --clearmodifiers ctrl+End
  xdotool type --delay 50 " $2"
  sleep 1
  xdotool key --clearmodifiers ctrl+s
  sleep 3
  echo "   typed \"$2\", saved"
}

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

step "stand-in ticket service"
mkdir -p "$work/service" "$work/Descargas"
"$SERVICE" serve --port 0 --data "$work/service" --port-file "$work/port" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
base=http://127.0.0.1:$(cat "$work/port")
echo "   listening on $base"

show_logs() {
  local log
  for log in "$work"/vla.log "$work"/vla-dos.log; do
    [ -s "$log" ] || continue
    step "$(basename "$log")"
    { grep -v -e '^xmlns' -e '^<' -e '^  <' "$log" || true; } | cut -c1-200 | indent "$(basename "$log" .log)"
  done
  step "the service's journal"
  indent servicio <"$work/service/journal.log"
}

if [ "$two" -eq 1 ]; then
  step "two tickets, for two different documents"
  declare -A id word=([uno]=PalabraUno [dos]=PalabraDos)
  for n in uno dos; do
    sed "s/Informe de ejemplo/Informe $n/" "$here/example/informe.doc" >"$work/informe-$n.doc"
    "$SERVICE" issue --server "$base" --instance 7 --out "$work/Descargas/informe-$n.vldoc" "$work/informe-$n.doc" >/dev/null
    id[$n]=$(head -n 1 "$work/Descargas/informe-$n.vldoc" | tr -d '\r')
    echo "   informe-$n.vldoc  ticket ${id[$n]}"
  done
  upload_of() { ls "$work/service/uploads/"*-"${id[$1]}".doc 2>/dev/null | head -n 1 || true; }
  # What reached ticket N on the service: its own document with its own edit,
  # nothing of the other's.
  check_upload() {
    local up other=uno
    up=$(upload_of "$1")
    [ "$1" = uno ] && other=dos
    [ -n "$up" ] || fail "nothing reached ticket ${id[$1]}"
    grep -aq "Informe $1" "$up" && grep -aq "${word[$1]}" "$up" && ! grep -aq "${word[$other]}" "$up" ||
      fail "$up is not informe-$1.doc with \"${word[$1]}\""
    echo "   ticket ${id[$1]}: $(basename "$up"), $(wc -c <"$up") bytes, informe-$1.doc holding \"${word[$1]}\""
  }

  step "vla on the first ticket; with its window up, vla on the second"
  "$VLA" "$work/Descargas/informe-uno.vldoc" >"$work/vla.log" 2>&1 &
  vla_pid=$!
  win1=$(window_of informe-uno)
  status=0
  timeout 60 "$VLA" "$work/Descargas/informe-dos.vldoc" >"$work/vla-dos.log" 2>&1 || status=$?
  [ "$status" -eq 0 ] || fail "the second vla exited with $status"
  echo "   the second vla handed its ticket over and ended"
  win2=$(window_of informe-dos)
  echo "   both documents open: windows $win1 and $win2"

  step "the first window: edit, save, close it alone"
  edit_and_save "$win1" "${word[uno]}"
  xdotool key --clearmodifiers ctrl+w
  for _ in $(seq 60); do [ -n "$(upload_of uno)" ] && break; sleep 1; done
  check_upload uno
  [ -z "$(upload_of dos)" ] || fail "informe-dos.doc was uploaded while still open"
  [ -e "$work/Descargas/informe-dos.doc" ] || fail "informe-dos.doc is gone while still open"
  kill -0 "$vla_pid" 2>/dev/null || fail "vla ended while informe-dos.doc is still open"
  echo "   informe-dos.doc: still open, not uploaded; vla still running"

  step "the second window: edit, save, close it"
  edit_and_save "$win2" "${word[dos]}"
  xdotool key --clearmodifiers ctrl+w
  for _ in $(seq 120); do kill -0 "$vla_pid" 2>/dev/null || break; sleep 1; done
  status=0
  wait "$vla_pid" || status=$?
  # Only LibreOffice's start centre is left; quit it.
  for w in $(xdotool search --onlyvisible --name LibreOffice 2>/dev/null); do
    xdotool windowfocus --sync "$w" key --clearmodifiers ctrl+q 2>/dev/null || true
  done

  show_logs
  step "the uploads"
  check_upload uno
  check_upload dos
  left=$(ls -A "$work/Descargas")
  [ -z "$left" ] || fail "still there: $left"
  [ "$status" -eq 0 ] || fail "vla exited with $status"
  echo
  echo "== two documents open at once: each reached its own ticket when its own window closed; vla exited 0; every local file is gone"
  exit 0
fi

step "a ticket for tools/example/informe.doc"
ticket=$work/Descargas/informe.vldoc
"$SERVICE" issue --server "$base" --instance 7 --out "$ticket" "$here/example/informe.doc" >/dev/null
echo "   $ticket"

step "vla, with xdotool as the user"
"$VLA" "$ticket" >"$work/vla.log" 2>&1 &
vla_pid=$!
win=$(window_of informe)
edit_and_save "$win" "$WORD"
echo "   closing LibreOffice"
xdotool key --clearmodifiers ctrl+q
for _ in $(seq 120); do kill -0 "$vla_pid" 2>/dev/null || break; sleep 1; done
status=0
wait "$vla_pid" || status=$?

show_logs
step "the upload"
upload=$(ls "$work/service/uploads/"* 2>/dev/null | head -n 1 || true)
if [ -n "$upload" ] && grep -aq "$WORD" "$upload"; then
  echo "   $upload: $(wc -c <"$upload") bytes, $(file -b "$upload" 2>/dev/null || echo document), holds \"$WORD\""
  [ "$status" -eq 0 ] && exit 0
fi
echo "   no upload with \"$WORD\" (vla exit status $status)" >&2
exit 1
