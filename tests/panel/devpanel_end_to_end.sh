#!/usr/bin/env bash
# devpanel end to end in a virtual X server with a tray: a temporary copy of its program folder,
# the simulated devices of examples/panel and the library stand-in. Usage: <program folder> <source root>
set -uo pipefail
program=$1
root=$2
fail() { echo "FAIL: $*"; exit 1; }

run_scenario() {
  local scenario=$1 work log
  work=$(mktemp -d)
  cp -r "$program/." "$work/"
  log="$work/panel.log"
  # A session of its own: the single-instance lock and socket live in the runtime and temporary
  # folders, so panels of other runs on this machine are never taken for this run's first.
  mkdir -m 700 "$work/run" "$work/tmp"
  XDG_RUNTIME_DIR="$work/run" TMPDIR="$work/tmp" DEVPANEL_HID_BACKEND="sim:$root/examples/panel/$scenario.json" OSCONF_SIM_SCENARIO="$root/examples/panel/headset.conf" \
    xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
      trayer --edge bottom --align right --widthtype request --height 32 >/dev/null 2>&1 &
      tray=$!
      "$1/devpanel" >"$2" 2>&1 &
      panel=$!
      # A loaded machine or a sanitizer build starts the toolkit slowly: wait up to a minute for the
      # first pass, then for the device check that follows it.
      for _ in $(seq 1200); do grep -q "qml: run" "$2" && break; sleep 0.05; done
      for _ in $(seq 600); do grep -q "Device Connect State" "$2" && break; sleep 0.05; done
      # While the first runs: an unknown option gives the usage and 2; a second start exits with 1.
      # Their exit codes are the subject here, not what the toolkit keeps until exit.
      export ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0"
      timeout 20 "$1/devpanel" --bogus >"$2.bogus" 2>&1; echo "bogus=$?" >>"$2.codes"
      start=$SECONDS
      timeout 20 "$1/devpanel" >"$2.second" 2>&1; echo "second=$? seconds=$((SECONDS - start))" >>"$2.codes"
      kill "$panel" "$tray" 2>/dev/null
      wait "$panel" 2>/dev/null
      true' _ "$work" "$log"
  cat "$log" "$log.codes" > "$work/all"
  echo "$work"
}

work=$(run_scenario full)
log="$work/all"
grep -q "Device Connect State 8" "$log" || fail "full: no state 8"; 
init=$(grep -n "qml: initUI" "$log" | head -1 | cut -d: -f1)
run=$(grep -n "qml: run" "$log" | head -1 | cut -d: -f1)
[ -n "$init" ] && [ -n "$run" ] && [ "$init" -lt "$run" ] || fail "full: initUI before run"
[ "$(grep -c "CreateDeviceList called ok" "$log")" -ge 2 ] || fail "full: the default pass"
grep -q "bogus=2" "$log" || fail "--bogus did not exit with 2"
grep -q "usage: devpanel" "$work/panel.log.bogus" || fail "--bogus printed no usage"
grep -Eq "second=1 seconds=[0-5]$" "$log" || fail "a second devpanel did not exit with 1 within 5 s"
rm -rf "$work"

work=$(run_scenario empty)
grep -q "Device Connect State 0" "$work/all" || fail "empty: no state 0"
rm -rf "$work"
echo "devpanel end to end: ok"
