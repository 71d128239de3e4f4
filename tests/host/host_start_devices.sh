#!/usr/bin/env bash
# Starts every --device of zelko-host: each ends 0 with its endpoints listed and nothing left behind.
# The uac1 start lists the topology and both wave filters and the two private interfaces.
# Usage: <zelko-host> <examples folder>
set -uo pipefail
host=$1
examples=$2
fail() { echo "FAIL: $*"; exit 1; }

for device in uac1 uac2 mirk dova tesh plon grue; do
  out=$("$host" --examples "$examples" start --device "$device" 2>&1)
  rc=$?
  [ $rc = 0 ] || { echo "$out"; fail "$device did not start (exit $rc)"; }
  grep -q "every block freed, nothing left behind" <<<"$out" || fail "$device: a clean exit without the pool report"
  # Every headset lists a render and a capture endpoint.
  endpoints=$(sed -n '/^Endpoints/,/^Device interfaces/p' <<<"$out")
  grep -q "^  [A-Za-z]*Out00 *render" <<<"$endpoints" || { echo "$out"; fail "$device lists no render endpoint"; }
  grep -q "^  [A-Za-z]*In00 *capture" <<<"$endpoints" || { echo "$out"; fail "$device lists no capture endpoint"; }
done

# The example INI's mute-LED switches arrive as the single bytes the chip units read.
out=$("$host" --examples "$examples" settings --device mirk 2>&1) || { echo "$out"; fail "the settings import"; }
grep -Eq "^  NeedMuteLED +REG_BINARY +01$" <<<"$out" || { echo "$out"; fail "NeedMuteLED is not one byte"; }

out=$("$host" --examples "$examples" start 2>&1) || { echo "$out"; fail "the uac1 start"; }
# Each format shows its channel mask: the microphone's masked and unmasked entries differ.
grep -Eq "^  MicIn00 +capture .* 1x48000/16/0x4 .*1x48000/16/0x0" <<<"$out" || { echo "$out"; fail "no channel masks"; }
# The example INI holds only values the driver takes: its start logs none refused.
! grep -q "invalid, using" <<<"$out" || { echo "$out"; fail "the example INI holds a value the driver refuses"; }
sub=$(sed -n '/^Sub-devices/,/^Connections/p' <<<"$out")
for name in GlobalTopo HPOut00Wave MicIn00Wave; do
  grep -qx "  $name" <<<"$sub" || { echo "$out"; fail "the uac1 start lists no $name"; }
done
for name in SVEnumPrivateInterface SVASIOPrivateInterface; do
  grep -q "\\\\$name\$" <<<"$out" || { echo "$out"; fail "the uac1 start lists no $name"; }
done
echo "every device started, listed its endpoints and went; uac1 lists its filters and interfaces"
