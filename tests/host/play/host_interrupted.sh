#!/usr/bin/env bash
# zelko-host stopped by SIGINT, SIGTERM or SIGHUP once it writes its output ends with 128 + the
# signal and leaves nothing: no temporary file, no folder it made for the output, and an earlier file
# at the output's path as it was; the lines it printed before are in its log. A SIGHUP ignored from
# the start stays ignored, and a reader of its output that goes away does not stop it.
# Usage: <zelko-host> <examples folder>
set -uo pipefail
# Job control: a background job of a script would otherwise start with SIGINT ignored.
set -m
host=$1
examples=$2
source "$(dirname "$0")/scratch.sh"

# interrupt SIGNALS OUTPUT ARGS...: runs the host writing OUTPUT (with SIGHUP ignored when $nohup is
# set), sends each of the comma-separated SIGNALS in turn once the temporary file beside OUTPUT exists,
# and checks the exit code against the last. Polls, each wait bounded.
interrupt() {
  local signals=$1 output=$2 signal
  shift 2
  (
    [ -n "${nohup:-}" ] && trap '' HUP
    exec "$host" --examples "$examples" "$@" --output "$output" >stdout.txt 2>stderr.txt
  ) &
  local pid=$! temporary
  temporary="$(dirname "$output")/.$(basename "$output").*"
  for ((n = 0; n < 3000; n++)); do
    compgen -G "$temporary" >/dev/null && break
    kill -0 $pid 2>/dev/null || fail "$*: ended before its output was begun: $(cat stderr.txt)"
    sleep 0.02
  done
  compgen -G "$temporary" >/dev/null || { kill -KILL $pid; fail "$*: no temporary file after 60 s"; }
  for signal in ${signals//,/ }; do
    kill -"$signal" $pid
  done
  for ((n = 0; n < 1500; n++)); do
    kill -0 $pid 2>/dev/null || break
    sleep 0.02
  done
  kill -0 $pid 2>/dev/null && { kill -KILL $pid; fail "$*: still running 30 s after SIG$signal"; }
  wait $pid
  local rc=$? want=$((128 + $(kill -l "$signal")))
  [ $rc = $want ] || fail "$* stopped by SIG$signal: exit $rc, not $want: $(cat stderr.txt)"
  # Printed before the output was opened, so in the log however it was buffered.
  grep -q '^Headset ' stdout.txt || fail "$* stopped by SIG$signal: its log lost what it printed"
}

# Into folders the run made: none stays. Every run here is on virtual time: on the wall clock a
# loaded machine can make a pin's first transfers late enough to be refused.
interrupt INT new/deeper/bus.wav --tone 1000,600,48000,2,16
[ -e new ] && fail "SIGINT left $(find new)"
interrupt HUP new/deeper/capture.wav capture --seconds 600
[ -e new ] && fail "SIGHUP left $(find new)"

# Over an earlier file: it stays, alone.
mkdir kept
echo earlier >kept/bus.wav
interrupt TERM kept/bus.wav --tone 1000,600,48000,2,16
[ "$(ls -A kept)" = bus.wav ] && [ "$(cat kept/bus.wav)" = earlier ] || fail "SIGTERM left $(ls -lA kept)"

# Under nohup the SIGHUP is lost; the SIGTERM sent after it ends the run.
nohup=1 interrupt HUP,TERM kept/bus.wav --tone 1000,600,48000,2,16
[ "$(ls -A kept)" = bus.wav ] && [ "$(cat kept/bus.wav)" = earlier ] || fail "SIGHUP,TERM left $(ls -lA kept)"

# A reader that takes one line and goes: the run goes on to its end and writes its file.
"$host" --examples "$examples" --tone 1000,60,48000,2,16 --output piped/bus.wav 2>stderr.txt | head -1 >/dev/null
rc=${PIPESTATUS[0]}
[ "$rc" = 0 ] || fail "with its reader gone: exit $rc: $(cat stderr.txt)"
[ "$(ls -A piped)" = bus.wav ] || fail "with its reader gone: left $(ls -lA piped)"
echo "SIGINT, SIGHUP and SIGTERM each ended the run with 128 + the signal and left nothing"
