#!/usr/bin/env bash
# Starts every --device of zelko-host: each ends 0, or 1 with a one-line reason, never a crash or a
# leak. The uac1 start lists the topology and both wave filters and the two private interfaces.
# Usage: <zelko-host> <examples folder>
set -uo pipefail
host=$1
examples=$2
fail() { echo "FAIL: $*"; exit 1; }

for device in uac1 uac2 mirk dova tesh plon grue; do
  out=$("$host" --examples "$examples" start --device "$device" 2>&1)
  rc=$?
  case $rc in
    0) grep -q "every block freed, nothing left behind" <<<"$out" || fail "$device: a clean exit without the pool report" ;;
    1) [ "$(grep -c . <<<"$(tail -n 1 <<<"$out")")" = 1 ] || fail "$device: exit 1 without a reason" ;;
    *) echo "$out"; fail "$device: exit $rc" ;;
  esac
  if [ "$device" = uac1 ] || [ "$device" = uac2 ]; then
    [ $rc = 0 ] || { echo "$out"; fail "$device did not start"; }
  fi
done

out=$("$host" --examples "$examples" start 2>&1) || { echo "$out"; fail "the uac1 start"; }
sub=$(sed -n '/^Sub-devices/,/^Connections/p' <<<"$out")
for name in GlobalTopo HPOut00Wave MicIn00Wave; do
  grep -qx "  $name" <<<"$sub" || { echo "$out"; fail "the uac1 start lists no $name"; }
done
for name in SVEnumPrivateInterface SVASIOPrivateInterface; do
  grep -q "\\\\$name\$" <<<"$out" || { echo "$out"; fail "the uac1 start lists no $name"; }
done
echo "every device started and went; uac1 lists its filters and interfaces"
