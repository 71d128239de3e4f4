#!/usr/bin/env bash
# ./run panel: devpanel on the simulated devices (examples/panel) and the configuration library's
# stand-in, from its program folder build/devpanel. Under a display it opens the window; without
# one it runs in a virtual X server with a tray, takes a screenshot of each scenario into
# build/panel-shots/ and prints the panel's log.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# It takes no options: one it does not know is a mistake, not something to pass over.
case "${1:-}" in
  "") ;;
  --help | -h)
    echo "usage: ./run panel   (no options: a window under a display, else screenshots in build/panel-shots/ and the panel's log)"
    exit 0
    ;;
  *)
    echo "run panel: unknown argument '$1' (./run panel takes no options)" >&2
    exit 2
    ;;
esac
source "$root/tools/build_lock.sh"
locked_build "$root/build" >&2
program="$root/build/devpanel"
export OSCONF_SIM_SCENARIO="$root/examples/panel/headset.conf"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  export DEVPANEL_HID_BACKEND="sim:$root/examples/panel/full.json"
  echo "devpanel is running; quit from its tray icon menu (Quit (&Q)) or with Ctrl-C."
  exec "$program/devpanel"
fi

shots="$root/build/panel-shots"
mkdir -p "$shots"
for scenario in full empty; do
  log="$shots/$scenario.log"
  shot="$shots/$scenario.png"
  # A copy of the program folder per run: the panel writes its settings there.
  work=$(mktemp -d)
  cp -r "$program/." "$work/"
  # A session of its own, so a panel the user already runs is not taken for this one.
  mkdir -m 700 "$work/run" "$work/tmp"
  XDG_RUNTIME_DIR="$work/run" TMPDIR="$work/tmp" DEVPANEL_HID_BACKEND="sim:$root/examples/panel/$scenario.json" \
    xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
      trayer --edge bottom --align right --widthtype request --height 32 --tint 0x303030 --transparent true &
      tray=$!
      sleep 1
      "$1/devpanel" >"$2" 2>&1 &
      panel=$!
      for _ in $(seq 150); do grep -q "qml: run" "$2" && break; sleep 0.1; done
      sleep 1
      import -window root "$3"
      kill "$panel" "$tray" 2>/dev/null || true
      wait "$panel" 2>/dev/null || true' _ "$work" "$log" "$shot"
  rm -rf "$work"
  echo "== $scenario: $shot"
  grep -E "Device Connect State|qml: initUI|qml: run|CreateDeviceList|GetDeviceCount" "$log" || true
  echo "headset status reports read: $(grep -c "readHeadSetData" "$log" || true)"
done
