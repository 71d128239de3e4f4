#!/usr/bin/env bash
# zelko-host takes a user's mistakes as ./run passes them on: each ends with exit code 2 (a mistake in
# the command line or its files) and one line on stderr naming it, never an abort, and writes no
# file; unknown names come with the valid ones. What is not a mistake plays as it should: a short
# data chunk with a warning, a silent file as the silence the bus carries, an 8-channel plain PCM file
# on a 7.1 headset, a device name in capitals.
# Usage: <zelko-host> <examples folder> <tools/run-panel.sh>
set -uo pipefail
host=$1
examples=$2
panel=$3
source "$(dirname "$0")/scratch.sh"

# WAV files as a user may hand them over: name, channels, frames, the size the data chunk claims
# (empty: the true one), and where the file is cut (empty: nowhere).
python3 - <<'PY'
import struct
def wav(name, channels, frames, claim=None, cut=None, tag=1, rate=48000, silent=False):
    data = bytes(frames * channels * 2) if silent else bytes((n * 7 + 1) % 251 for n in range(frames * channels * 2))
    fmt = struct.pack('<HHIIHH', tag, channels, rate, rate * channels * 2, channels * 2, 16)
    body = b'WAVEfmt ' + struct.pack('<I', len(fmt)) + fmt + b'data' + struct.pack('<I', len(data) if claim is None else claim) + data
    f = b'RIFF' + struct.pack('<I', len(body)) + body
    open(name, 'wb').write(f if cut is None else f[:cut])
wav('two.wav', 2, 4800)
wav('empty.wav', 2, 0)
wav('header-only.wav', 2, 0, claim=384000)
wav('cut-45.wav', 2, 100, claim=384000, cut=45)
wav('one-byte.wav', 2, 1, claim=1)
wav('short.wav', 2, 4800, claim=384000)
wav('streamed.wav', 2, 4800, claim=0xFFFFFFFF)
wav('streamed-empty.wav', 2, 0, claim=0xFFFFFFFF)
wav('cut-10001.wav', 2, 100000, cut=10001)
wav('eight.wav', 8, 4800)
wav('long.wav', 1, 601 * 1000, rate=1000)
wav('silent.wav', 2, 4800, silent=True)
PY
cp two.wav two-copy.wav

# mistake CODE TEXT ARGS...: the run ends with CODE, one line on stderr holding TEXT, and no file
# made or changed.
mistake() {
  local code=$1 text=$2
  shift 2
  touch marker
  "$host" --examples "$examples" "$@" >stdout.txt 2>stderr.txt
  local rc=$?
  [ "$rc" = "$code" ] || fail "$*: exit $rc, not $code: $(cat stderr.txt)"
  [ "$(wc -l <stderr.txt)" = 1 ] || fail "$*: not one line: $(cat stderr.txt)"
  grep -qF -- "$text" stderr.txt || fail "$*: '$(cat stderr.txt)' does not say '$text'"
  local made
  made=$(find . -newer marker -not -name stdout.txt -not -name stderr.txt -not -name . -print)
  [ -z "$made" ] || fail "$*: wrote $made"
}

# Inputs that once aborted the program, or made gigabytes before asking the endpoint.
mistake 2 "/tmp is not a regular file" --input /tmp
mistake 2 "/dev/zero is not a regular file" --input /dev/zero
mistake 2 "no file nothing.wav" --input nothing.wav
mistake 2 "long.wav lasts 601 s; play takes at most 600 s" --input long.wav
mistake 2 "HPOut00 does not take 768000 Hz, 8 ch, 32-bit" --tone 1000,600,768000,8,32

# Failures once reported as success.
mistake 2 "HPOut00 is a render endpoint; capture from a capture endpoint: MicIn00" capture --endpoint HPOut00
mistake 2 "--examples $work/none: no such folder" start --examples "$work/none"
mistake 2 "holds no audio: its data chunk is empty" --input empty.wav
mistake 2 "--output two.wav is the input file" --input two.wav --output two.wav
mkdir sub
mistake 2 "is the input file" --input two.wav --output sub/../two.wav
mkdir out
cp two.wav out/bus-HPOut00.wav
mistake 2 "the output out/bus-HPOut00.wav is the input file: give another --output" --input out/bus-HPOut00.wav
cmp -s two.wav out/bus-HPOut00.wav && cmp -s two.wav two-copy.wav || fail "the input was changed"
rm -r out
out=$("$host" --examples "$examples" settings --device uac2 2>&1) || fail "settings --device uac2: $out"
grep -q 'PID_0620' <<<"$out" || fail "settings does not honour --device: $out"

# Unclear before: unknown names get the valid ones, for every command.
for command in play capture start settings; do
  mistake 2 "unknown device 'nosuch' (devices: uac1, uac2, mirk, dova, tesh, plon, grue)" $command --device nosuch
  mistake 2 "unknown option '--bogus' (options: --examples, --device," $command --bogus
  mistake 2 "--examples $work/none: no such folder" $command --examples "$work/none"
done
mistake 2 "MicIn00 is a capture endpoint; play to a render endpoint: HPOut00" --endpoint MicIn00
mistake 2 "the headset has no endpoint Nope (its render endpoints: HPOut00)" --endpoint Nope
mistake 2 "--seconds does not apply to play" --seconds 3
mistake 2 "--tone and --input are both a source to play" --tone 1000,1,48000,2,16 --input two.wav
mistake 2 "--pattern does not apply to start" start --pattern ramp
"$panel" --bogus >/dev/null 2>stderr.txt
rc=$?
[ $rc = 2 ] && [ "$(wc -l <stderr.txt)" = 1 ] && grep -q "unknown argument '--bogus'" stderr.txt ||
  fail "./run panel --bogus: exit $rc: $(cat stderr.txt)"

# Outside inputs that once played 0 s as "bit-exact", or wrapped.
mistake 2 "holds no audio: its data chunk says 384000 bytes, the file holds 0" --input header-only.wav
mistake 2 "cut-45.wav holds no audio: its data chunk says 384000 bytes, the file holds 0" --input cut-45.wav
mistake 2 "holds no audio: its data chunk says 1 bytes, the file holds 0" --input one-byte.wav
mistake 2 "holds no audio: its data chunk says 4294967295 bytes, the file holds 0" --input streamed-empty.wav
mistake 2 "--tone rate is 1000 to 768000 Hz, not '4294967298'" --tone 1000,1,4294967298,2,16
mistake 2 "--tone channels are 1 to 8, not '4294967298'" --tone 1000,1,48000,4294967298,16
mistake 2 "--tone channels are 1 to 8, not '65538'" --tone 1000,1,48000,65538,16
mistake 2 "--tone frequency is above 0 and at most half the rate, not 'inf'" --tone inf,1,48000,2,16

# A data chunk shorter than it says plays what is there, with one warning line.
for file in short.wav streamed.wav cut-10001.wav; do
  "$host" --examples "$examples" --input $file --output played.wav >stdout.txt 2>stderr.txt || fail "$file: $(cat stderr.txt)"
  [ "$(wc -l <stderr.txt)" = 1 ] && grep -q "warning: $file is cut short: its data chunk says" stderr.txt ||
    fail "$file: no warning: $(cat stderr.txt)"
  grep -q '^bit-exact: yes' stdout.txt || fail "$file: $(cat stdout.txt)"
  test -s played.wav || fail "$file: nothing written"
done

# A silent file is what a silent bus carries.
"$host" --examples "$examples" --input silent.wav --output played.wav >stdout.txt 2>stderr.txt || fail "silent.wav: $(cat stderr.txt)"
grep -q '^bit-exact: yes' stdout.txt || fail "silent.wav: $(cat stdout.txt)"

# Names without case; 8-channel plain PCM reaches the 7.1 endpoint as the extensible format with the
# endpoint's mask.
"$host" --examples "$examples" play --device PLON --input eight.wav --output eight-bus.wav >stdout.txt 2>&1 ||
  fail "8-channel plain PCM on plon: $(cat stdout.txt)"
grep -q '^Headset    --device plon, endpoint SPKOut00' stdout.txt || fail "$(cat stdout.txt)"
echo "every mistake got exit 2 and one line, and wrote nothing; short files played with a warning"
