#!/usr/bin/python3
"""The rigid-sphere head model the effects' positional tables are fitted to.

A sphere of radius R = 8.75 cm in air (c = 343 m/s), ears at azimuths -90 (left) and +90
(right) degrees; positive azimuths lie to the right.
- Interaural delay: (R/c)(theta + sin theta), theta the lateral angle, |azimuth| folded into
  0..90 degrees (a source behind has the lateral angle of its mirror in front).
- Per ear a one-pole, one-zero head-shadow filter, in the published form
      H(w) = (1 + j alpha w / (2 w0)) / (1 + j w / (2 w0)),   w0 = c / R (the corner),
  whose zero moves with the ear's angle of incidence (0 facing the source, 180 facing away):
      alpha = (1 + a_min/2) + (1 - a_min/2) cos(pi * incidence / theta_min),
  a_min = 0.1, theta_min = 150 degrees: up to +6 dB at high frequencies for the facing ear,
  down to -20 dB in the shadow.
- MODEL_GAIN (-6.9 dB on both ears) is the headroom the fitted Q15 taps need: the facing
  ear's boost must leave every tap under 0.9.

Imported by the table generators (gen_hrtf_tables.py, and the headphone surround's); run alone
it prints the model's delay and high-frequency levels for a few azimuths.
Needs numpy (Debian python3-numpy).
"""
import sys

import numpy as np

R = 0.0875
C = 343.0
A_MIN = 0.1
THETA_MIN = 150.0
MODEL_GAIN = 0.45


def lateral_deg(azimuth):
    """|azimuth| folded into 0..90 degrees."""
    a = abs(((azimuth + 180.0) % 360.0) - 180.0)
    return 180.0 - a if a > 90.0 else a


def itd_seconds(azimuth):
    """Far-ear delay of a source at `azimuth` degrees."""
    theta = np.radians(lateral_deg(azimuth))
    return (R / C) * (theta + np.sin(theta))


def incidence_deg(azimuth, ear):
    """Angle between the source and the ear's axis (ear -1 left, +1 right), 0..180 degrees."""
    return abs(((azimuth - 90.0 * ear + 180.0) % 360.0) - 180.0)


def alpha(incidence):
    return (1.0 + A_MIN / 2.0) + (1.0 - A_MIN / 2.0) * np.cos(np.pi * incidence / THETA_MIN)


def shadow(freqs, azimuth, ear):
    """Complex head-shadow response of one ear at `freqs` Hz, without MODEL_GAIN."""
    w = 2.0 * np.pi * np.asarray(freqs, dtype=np.float64) / (2.0 * C / R)
    return (1.0 + 1j * alpha(incidence_deg(azimuth, ear)) * w) / (1.0 + 1j * w)


def main():
    for az in (0, 30, 100, 150):
        hf = [20 * np.log10(abs(shadow(16000.0, az, ear))) for ear in (-1, 1)]
        print("azimuth %4d: delay %6.1f us, 16 kHz level left %+6.2f dB, right %+6.2f dB"
              % (az, 1e6 * itd_seconds(az), hf[0], hf[1]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
