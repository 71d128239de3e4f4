#!/usr/bin/python3
"""Writes driver/effects/room_tables.inc, the shuffler filter taps of the room virtualiser for
its five rates (codes 0, 1, 2, 16, 17 = 48000, 44100, 32000, 96000, 88200 Hz).

Each shuffler filter has taps at even delays only, h_j at delay 2j samples, j = 1..N. The
48000 Hz taps below are the design; the other rates are derived from them:
- each 48 kHz filter is taken as samples of one impulse response on a 24 kHz grid (tap k at
  2k/48000 s, the silent tap 0 included), interpolated by a Kaiser-windowed sinc (half-width 8
  grid points, beta 6) at the target rate's even delays 2j/rate, scaled by 48000/rate so the
  response keeps its level, and cut to the rate's tap count N;
- at 96000 Hz the 48 kHz taps land exactly on delays 4k, so the filter is those taps with a zero
  between each pair: its response equals the 48 kHz one.
The script prints each derived filter's largest magnitude error against its 48 kHz design, in
dB below the design's peak, over the band both grids carry (to 0.9 of the lower of 12 kHz and rate/4), and its own peak
against the design's.

  python3 gen_room_tables.py [OUTPUT]      write the file (default: the one in the tree)
  python3 gen_room_tables.py --check FILE  exit 1 when FILE differs from what would be written

Needs numpy and scipy (Debian python3-numpy, python3-scipy).
"""
import sys

import numpy as np
from scipy.special import i0

from gen_common import c_table, f32_literal, run

NAMES = ["Cv", "Fm", "Fs", "Sm", "Ss", "Bm", "Bs"]
# Per rate code: the rate and the tap counts of Cv, Fm, Fs / Sm, Ss / Bm, Bs.
RATES = {0: (48000, 16, 20, 18), 1: (44100, 15, 19, 17), 2: (32000, 10, 13, 12),
         16: (96000, 34, 42, 38), 17: (88200, 32, 40, 36)}

TAPS_48000 = {
    "Cv": [0.14975, -0.0775452, 0.0103149, -0.0322571, 0.0314636, -0.0160217, 0.0212402, -0.0114136,
           0.0116882, 0.0109558, 0.00732422, 0.009552, -0.00592041, -0.00149536, -0.00512695, -0.00411987],
    "Fm": [0.130859, -0.0922241, -0.0249634, 0.0733643, 0.0613403, 0.0256348, 0.00128174, -0.0111084,
           0.0100708, 0.0241699, 0.00720215, 0.0119019, -0.00823975, 0.00183105, 0.00341797, -0.000549316],
    "Fs": [0.148804, -0.117798, 0.0300903, -0.123596, 0.0299683, -0.079834, 0.0388794, -0.0233154,
           0.034729, -0.0116577, 0.0239868, -0.0263062, -0.00238037, -0.0241699, -0.00811768, -0.0143433],
    "Sm": [0.0012207, -0.0402832, 0.0142822, 0.085083, -0.0882568, 0.043457, -0.00744629, 0.00939941,
           -0.0129395, -0.00238037, -0.0078125, -0.00482178, -0.00720215, 0.0065918, 0.0379028, 0.0275269,
           0.0313721, 0.0217896, 0.0151978, 0.0103149],
    "Ss": [0.00201416, -0.0422974, 0.0140381, 0.0830078, -0.088501, 0.0412598, -0.00750732, 0.00689697,
           -0.0127563, -0.00543213, -0.0067749, -0.00921631, -0.00341797, -0.00610352, -0.0553589, -0.0314941,
           -0.039978, -0.0255127, -0.0143433, -0.0124512],
    "Bm": [0.000793457, 0.0120239, 0.0464478, 0.00805664, -0.0465088, 0.0460205, -0.0166626, -0.0114746,
           0.0136108, 0.0427246, 0.0189209, 0.0213623, -0.00592041, 0.010498, 0.0010376, 0.0158691, 0.0055542,
           0.0169678],
    "Bs": [-0.00213623, 0.0163574, 0.0419922, 0.0145874, -0.0524292, 0.0516357, -0.0272827, 0.00787354,
           -0.0499268, -0.0527344, -0.0233765, -0.03479, 0.00189209, -0.00622559, -0.0133057, -0.0100708,
           -0.0148315, -0.0172729],
}
HALF_WIDTH = 8
BETA = 6.0


def counts(code):
    _, a, b, c = RATES[code]
    return {"Cv": a, "Fm": a, "Fs": a, "Sm": b, "Ss": b, "Bm": c, "Bs": c}


def kaiser_sinc(x):
    x = np.asarray(x, dtype=np.float64)
    inside = np.abs(x) < HALF_WIDTH
    w = np.zeros_like(x)
    w[inside] = i0(BETA * np.sqrt(1.0 - (x[inside] / HALF_WIDTH) ** 2)) / i0(BETA)
    return np.sinc(x) * w


def derive(taps48, rate, n):
    """Taps h_1..h_n of a filter at `rate` from the 48 kHz taps h_1..h_N (h_0 = 0)."""
    grid = np.concatenate([[0.0], np.float32(taps48).astype(np.float64)])
    if rate == 96000:
        out = np.zeros(n)
        for j in range(2, n + 1, 2):
            if j // 2 < len(grid):
                out[j - 1] = grid[j // 2]
        return np.float32(out)
    k = np.arange(len(grid))
    out = [(48000.0 / rate) * np.sum(grid * kaiser_sinc(48000.0 * j / rate - k)) for j in range(1, n + 1)]
    return np.float32(out)


def response(taps, rate, freqs):
    """|H(f)| of a filter with taps at delays 2, 4, ..., 2n samples of `rate`."""
    j = np.arange(1, len(taps) + 1)
    return np.abs(np.exp(-2j * np.pi * np.outer(freqs, 2 * j) / rate) @ np.float64(taps))


def table(code):
    rate = RATES[code][0]
    n = counts(code)
    return {name: (np.float32(TAPS_48000[name]) if code == 0 else derive(TAPS_48000[name], rate, n[name]))
            for name in NAMES}


def report():
    for code in (1, 2, 16, 17):
        rate = RATES[code][0]
        # Taps at even delays sample the response on a grid of rate/2: it is mirrored about
        # rate/4, so the band both filters carry ends below the lower of 12 kHz and rate/4.
        band = np.linspace(20.0, 0.9 * min(rate, 48000) / 4, 2000)
        full = np.linspace(0.0, 24000.0, 4000)
        for name, taps in table(code).items():
            ref = response(np.float32(TAPS_48000[name]), 48000, band)
            got = response(taps, rate, band)
            err = 20 * np.log10(max(np.max(np.abs(got - ref)), 1e-12) / np.max(ref))
            over = 20 * np.log10(np.max(response(taps, rate, full[full <= rate / 2])) /
                                 np.max(response(np.float32(TAPS_48000[name]), 48000, full)))
            print("code %2d %s: largest response error %.1f dB against the design's peak, peak %+.2f dB against 48 kHz" % (code, name, err, over),
                  file=sys.stderr)


def render():
    out = ["// Generated by tools/gen_room_tables.py; do not edit.",
           "// Per rate code, the shuffler taps h_1.. of Cv, Fm, Fs, Sm, Ss, Bm, Bs, one after the other.", ""]
    for code in sorted(RATES):
        taps = table(code)
        words = [f32_literal(float(v)) for name in NAMES for v in taps[name]]
        out += c_table("kRoomShuffler%d" % code, words, 4)
        out.append("")
    return "\n".join(out)


if __name__ == "__main__":
    report()
    sys.exit(run(render, "driver/effects/room_tables.inc"))
