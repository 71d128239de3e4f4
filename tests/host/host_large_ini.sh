#!/usr/bin/env bash
# An INI of 400,000 values in one section, with CR LF and with LF line ends: start goes on with the
# values before the import's limit and its log names the limit; settings fails with the limit's
# status; both line ends import the same values.
# Usage: <zelko-host> <examples folder>
set -uo pipefail
host=$1
examples=$2
fail() { echo "FAIL: $*"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for eol in crlf lf; do
  cp -r "$examples" "$work/$eol"
  awk -v eol="$([ $eol = crlf ] && printf '\r')" 'BEGIN {
    print "[VERSION]" eol; print "Version=4" eol; print "[SALVIN]" eol
    print "USB\\VID_5A4C&PID_0610&REV_0100 = H610" eol; print "[H610]" eol
    for (i = 0; i < 400000; i++) print "Value" i "=" i eol
  }' >"$work/$eol/ZELKO610.INI"

  out=$("$host" --examples "$work/$eol" start 2>&1) || { echo "$out"; fail "$eol: the start failed"; }
  grep -q "^Driver log" <<<"$out" || { echo "$out"; fail "$eol: no driver log"; }
  grep -q "IniReader section \[H610\] holds more than 1024 values: import stopped" <<<"$out" ||
    { echo "$out"; fail "$eol: the limit is not logged"; }
  [ "$(grep -c '^  Value[0-9]* ' <<<"$out")" = 1024 ] || { echo "$out"; fail "$eol: not the 1024 values"; }
  grep -Eq '^  Value1023 +REG_BINARY +FF 03 00 00' <<<"$out" || fail "$eol: the last value before the limit"

  "$host" --examples "$work/$eol" settings >"$work/$eol.settings" 2>&1
  [ $? = 1 ] || { cat "$work/$eol.settings"; fail "$eol: settings did not fail"; }
  grep -q "^Import     STATUS_IMPLEMENTATION_LIMIT" "$work/$eol.settings" ||
    { cat "$work/$eol.settings"; fail "$eol: settings names no limit"; }
done
diff <(grep '^  ' "$work/crlf.settings") <(grep '^  ' "$work/lf.settings") || fail "LF imports other values than CR LF"
echo "400,000 values: start goes on with the first 1024 and logs the limit; LF imports as CR LF"
