#!/usr/bin/env bash
# zelko-host's play and capture as ./run starts them, the way a new user tries them: the default run
# plays the example bit-exact to the bus and writes it, so does the class 2.0 headset, and every chip
# family plays without a lost transfer; --surround on reaches the effect headsets' node; a ramp
# recorded from the microphone arrives bit-exact; a file the reader refuses gets one line and exit
# code 2, and so does --surround on a headset without the surround node.
set -euo pipefail
host=$1
examples=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

"$host" --examples "$examples" >play.txt || { cat play.txt; exit 1; }
grep -q '^bit-exact: yes' play.txt || { cat play.txt; exit 1; }
test -s out/bus-HPOut00.wav

"$host" --examples "$examples" play --device uac2 >play2.txt || { cat play2.txt; exit 1; }
grep -q '^bit-exact: yes' play2.txt || { cat play2.txt; exit 1; }

# Every chip family plays its endpoint with nothing lost on the bus; the 7.1 effect headsets take the
# stereo example on their first two channels and mix it down, so the Plon headset's bus carries the
# example itself (the Grue headset's effect chain processes it).
for device in mirk dova tesh plon grue; do
  "$host" --examples "$examples" play --device "$device" >"play-$device.txt" || { cat "play-$device.txt"; exit 1; }
  grep -Eq '^transfers [0-9]+ on endpoint .*errors 0, underruns 0$' "play-$device.txt" ||
    { cat "play-$device.txt"; exit 1; }
done
for device in plon grue; do
  grep -q '^Source     up-mixed to 8 channels' "play-$device.txt" || { cat "play-$device.txt"; exit 1; }
done
grep -q '^bit-exact: yes (after 976 frames of silence, 20.3 ms)$' play-plon.txt || { cat play-plon.txt; exit 1; }
grep -qx 'bit-exact: not applicable (the headset.s room effect processes its render stream)' play-grue.txt ||
  { cat play-grue.txt; exit 1; }
grep -q '^bit-exact: yes (after 720 frames of silence, 15.0 ms)$' play.txt || { cat play.txt; exit 1; }
grep -q '^measured rate 48000.0 Hz (bus, over 2109 USB frames)$' play.txt || { cat play.txt; exit 1; }

# The effect headsets' surround switched on before the pin runs; a headset without the node refuses it
# in one line.
"$host" --examples "$examples" play --device plon --surround on >surround.txt || { cat surround.txt; exit 1; }
# Plon's switch goes to the headset itself, and the host says so: its bus is still the example.
grep -qx 'Surround   on (switched in the headset itself: the bus carries the stream as sent)' surround.txt || { cat surround.txt; exit 1; }
grep -q '^bit-exact: yes' surround.txt || { cat surround.txt; exit 1; }
grep -Eq '^transfers [0-9]+ on endpoint .*errors 0, underruns 0$' surround.txt || { cat surround.txt; exit 1; }
# The Grue headset runs its surround in the driver: switched on, its bus is no longer what it is off.
"$host" --examples "$examples" play --device grue --output grue-off.wav >/dev/null
"$host" --examples "$examples" play --device grue --surround on --output grue-on.wav >grue-on.txt
grep -qx 'Surround   on' grue-on.txt || { cat grue-on.txt; exit 1; }
if cmp -s grue-off.wav grue-on.wav; then echo "--surround on left the Grue headset's bus as it was"; exit 1; fi
set +e
"$host" --examples "$examples" play --device uac1 --surround on >/dev/null 2>err.txt
code=$?
set -e
[ "$code" = 2 ] || { echo "exit $code for --surround without the node"; exit 1; }
[ "$(wc -l <err.txt)" = 1 ] || { cat err.txt; exit 1; }

"$host" --examples "$examples" capture --pattern ramp >capture.txt || { cat capture.txt; exit 1; }
grep -q '^bit-exact: yes' capture.txt || { cat capture.txt; exit 1; }
test -s out/capture-MicIn00.wav

printf 'RIFF\4\0\0\0WAVE' >bad.wav
set +e
"$host" --examples "$examples" play --input bad.wav >/dev/null 2>err.txt
code=$?
set -e
[ "$code" = 2 ] || { echo "exit $code for a bad file"; exit 1; }
[ "$(wc -l <err.txt)" = 1 ] || { cat err.txt; exit 1; }
echo "play on every headset, capture and a refused file: as expected"
