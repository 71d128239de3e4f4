#!/usr/bin/python3
"""Writes examples/play-example.wav, what ./run plays by default: 2 s of 48 kHz stereo 16-bit PCM,
1000 Hz at half scale on the left and 440 Hz at quarter scale on the right. Each sample is
round(amplitude * 32767 * sin(2 pi f n / 48000)), computed at 128-bit precision so the file does
not depend on the machine's sine.

  python3 gen_example_wav.py [OUTPUT]      write the file (default: the one in the tree)
  python3 gen_example_wav.py --check FILE  exit 1 when FILE differs from what would be written

Needs mpmath (Debian python3-mpmath, for /usr/bin/python3).
"""
import struct
import sys
from math import gcd
from pathlib import Path

from mpmath import mp, mpf, nint, pi, sin

mp.prec = 128

RATE = 48000
SECONDS = 2
CHANNELS = ((1000, mpf(1) / 2), (440, mpf(1) / 4))  # (Hz, fraction of full scale) per channel
ROOT = Path(__file__).resolve().parent.parent
DEFAULT = ROOT / 'examples' / 'play-example.wav'


def channel(freq, amplitude):
    """One period of the tone (it repeats exactly), repeated over the whole length."""
    period = RATE // gcd(RATE, freq)
    one = [int(nint(amplitude * 32767 * sin(2 * pi * freq * n / RATE))) for n in range(period)]
    return [one[n % period] for n in range(RATE * SECONDS)]


def render():
    columns = [channel(f, a) for f, a in CHANNELS]
    data = b''.join(struct.pack('<' + 'h' * len(columns), *frame) for frame in zip(*columns))
    block = 2 * len(columns)
    fmt = struct.pack('<HHIIHH', 1, len(columns), RATE, RATE * block, block, 16)
    body = b'WAVE' + b'fmt ' + struct.pack('<I', len(fmt)) + fmt + b'data' + struct.pack('<I', len(data)) + data
    return b'RIFF' + struct.pack('<I', len(body)) + body


def main(argv):
    data = render()
    if len(argv) >= 2 and argv[0] == '--check':
        if Path(argv[1]).read_bytes() != data:
            print('%s differs from the generator\'s output' % argv[1])
            return 1
        return 0
    Path(argv[0] if argv else DEFAULT).write_bytes(data)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
