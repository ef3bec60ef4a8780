#!/usr/bin/env bash
# The main job: open the bundled example ticket with vla and show its log.
set -euo pipefail
BUILD=${1:?usage: demo.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$here/example/ejemplo.vldoc" "$work/"
echo "== vla $work/ejemplo.vldoc"
"$BUILD/app/vla" "$work/ejemplo.vldoc"
