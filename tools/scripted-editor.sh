#!/bin/sh
# scripted-editor.sh FILE — a stand-in desktop editor that treats its document
# the way LibreOffice does: while the document is open it keeps a descriptor
# on it and a lock file ".~lock.NAME#" beside it; saving writes a temporary
# file and renames it over the document, after which it holds a POSIX lock on
# the new file; closing lets go of all of it.
#
# Driven by the environment:
#   SCRIPTED_EDITOR_TEXT           text added when saving (empty: close without saving)
#   SCRIPTED_EDITOR_OPEN_SECONDS   time with the document open before saving (default 2)
#   SCRIPTED_EDITOR_AFTER_SECONDS  time with the document open after saving (default 1)
#   SCRIPTED_EDITOR_LOG            file that gets one line per step (optional)
set -eu
doc=${1:?usage: scripted-editor.sh FILE}
case $doc in file://*) doc=$(printf '%s' "${doc#file://}" | sed 's/%20/ /g') ;; esac
dir=$(dirname "$doc")
name=$(basename "$doc")
lock="$dir/.~lock.$name#"
open_s=${SCRIPTED_EDITOR_OPEN_SECONDS:-2}
after_s=${SCRIPTED_EDITOR_AFTER_SECONDS:-1}
text=${SCRIPTED_EDITOR_TEXT:-}

say() {
  line="editor[$$]: $*"
  if [ -n "${SCRIPTED_EDITOR_LOG:-}" ]; then echo "$line" >>"$SCRIPTED_EDITOR_LOG"; else echo "$line" >&2; fi
}

[ -f "$doc" ] || { say "no existe $doc"; exit 1; }

# Open: a descriptor on the document and the lock file beside it.
trap 'rm -f "$lock"' EXIT
exec 3<"$doc"
printf ',%s,%s,%s,file://%s;' "${USER:-usuario}" "$(hostname 2>/dev/null || echo localhost)" \
  "$(date '+%d.%m.%Y %H:%M')" "$doc" >"$lock"
say "abre $doc ($(wc -c <"$doc") bytes) y crea $(basename "$lock")"
sleep "$open_s"

if [ -n "$text" ]; then
  # Save: a new file renamed over the document, then a POSIX lock on it.
  tmp="$dir/.~$name.tmp$$"
  cp "$doc" "$tmp"
  printf '%s\n' "$text" >>"$tmp"
  mv -f "$tmp" "$doc"
  exec 3<&-
  exec 3<"$doc"
  say "guarda $doc ($(wc -c <"$doc") bytes) y lo bloquea"
  perl -MFcntl -e '
    open(my $f, "+<", $ARGV[0]) or die "open: $!";
    # struct flock on Linux x86-64 and aarch64: type, whence, start, len, pid.
    my $lock = pack("s s x4 q q i x4", F_WRLCK, 0, 0, 0, 0);
    fcntl($f, F_SETLK, $lock) or die "fcntl: $!";
    select(undef, undef, undef, $ARGV[1]);' "$doc" "$after_s"
else
  sleep "$after_s"
fi

# Close: let go of everything.
exec 3<&-
rm -f "$lock"
say "cierra $doc"
