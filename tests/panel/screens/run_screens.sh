#!/usr/bin/env bash
# Runs the screenshot test in a virtual X server of 1024x768 with trayer as the tray host.
# Usage: <panel_screens program>
set -uo pipefail
exec xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  trayer --edge bottom --align right --widthtype request --height 32 --tint 0x303030 --transparent true >/dev/null 2>&1 &
  tray=$!
  "$1"
  result=$?
  kill "$tray" 2>/dev/null
  wait "$tray" 2>/dev/null
  exit $result' _ "$1"
