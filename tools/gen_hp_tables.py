#!/usr/bin/python3
"""Writes driver/effects/headphone/hp_tables.inc, the headphone virtual surround's tables, all
at 44100 Hz, floats stored as their IEEE single bit patterns.

Filter families, one per size code 1, 2, 3 (kHpFamily1..3), each laid out as
    [4 head sets][primary tail] [4 head sets][variant tail] [1 head set][third tail]
  head set: 10 filters of 1024 taps; filter 2c is the left ear and 2c + 1 the right ear of
    input c = L, R, C, RL, RR. Head set i = 0..3 of a group places the front pair at
    +-(25 + 5i) degrees, the third table's at +-30; the centre at 0; the rear pair at +-110
    (primary and third) or +-135 degrees (variant).
  tail: two filters of T/2 taps (left ear, then right ear), T = 3072 / 3072 / 6144 (size 1),
    3072 / 5120 / 6144 (size 2), 7168 / 7168 / 6144 (size 3).

Head sets: the rigid-sphere model of head_model.py, anechoic: a speaker at 2 m (1/r level,
r/c delay) reaches each ear through the ear's head-shadow filter, the near ear (R/c) sin(theta)
early and the far ear (R/c) theta late (theta the lateral angle), so the interaural delay is
(R/c)(theta + sin theta), fractional. Responses are sampled in frequency (16384 points) and
cut to their length with a 64-sample half-Hann fade; above 18 kHz every response rolls off
(raised cosine) to 0 at fs/2, so fractional delays do not ring.

Tails: an image-source model of a rectangular room per size code: 4.5 x 3.5 x 2.7 m (4.5 rather
than 4 m deep, so that the source stands 0.25 m clear of the front wall),
6 x 5 x 3 m and 10 x 8 x 4 m (depth x width x height), listener at the centre, source 2 m
ahead. One reflection factor per room, found from the model's own decay: the beta whose energy
loss per reflection, -ln beta^2, makes the room's images decay at RT60 0.25, 0.4, 0.6 s (the
measure is the check's below; bisection). Eyring's formula, -ln beta^2 = 0.161 V / (S RT60),
takes the rate at which sound meets the walls as the same in every direction; in this model the
images along the room's long axes meet fewer walls, their energy carries the later decay, and
Eyring's beta left the rooms 13, 20 and 30 % slow (0.283, 0.479, 0.780 s), the flatter the room
the slower. The beta found loses 1.13, 1.20 and 1.30 times Eyring's energy per reflection (beta
0.812, 0.842, 0.832 against 0.833, 0.866, 0.868). Every image but the direct sound that arrives
within T/2 samples goes through the head model at its horizontal arrival direction with
beta^reflections / r; a second-order Butterworth high-pass at 20 Hz, the audio band's lower edge,
takes out the image sum's build-up below the room's lowest mode (walls that reflect every
frequency alike put every image in phase at DC: +15 to +20 dB there, which only the limiter
would hear); the last 256 taps fade out (half-Hann). The third table uses the size code's room.

Tail level: the image sum is played TAIL_LEVEL_DB (-18 dB) under the direct sound, in every
room. As modelled it holds 0.3 to 4.7 dB more energy than the direct sound at the near ear, and
a tone's level then lies wherever the room's comb puts it: at the default room (size code 2,
angle code 39) about half of all tones 100 Hz to 8 kHz in one front channel left their louder
ear more than 3 dB off the dry level, down to -19 dB. That energy, not the room's shape, sets
the share: ears at 1.2 m instead of the room's mid-height, which parts the floor's and ceiling's
coincident images, leave it as it is. At -18 dB a 1 kHz tone keeps its louder ear within 3 dB
of the dry level with 0.65 dB to spare at 44.1 and at 48 kHz (the core plays these 44.1 kHz taps
at 48 kHz too, so a tone meets the room 8 % lower: -2.35 dB there, -2.5 dB at -17 dB, -2.65 dB at
-16 dB, -3.6 dB at -12 dB, -5.0 dB at full level). Third-octave tones 126 Hz to 7.9 kHz at both
rates then hold as often as with any weaker tail down to -24 dB: 30 of 38 within 3 dB (16 at
full level, 26 at -12 dB), the worst -6.0 dB. The eight left out lie at 630 Hz or
below, where a tone in one channel reaches both ears nearly alike, so that even with no room its
louder ear lies 2.2 to 3.1 dB under the level that noise in both fronts keeps. The level scales
every reflection alike, so the room's decay and its RT60 stay as they are; at the near ear the
tail now lies 13.3 to 17.7 dB under the direct sound.

The generator checks the model: the Schroeder curve of each room's image energies (no head, no
truncation at the tail length) from every image arriving within DECAY_WINDOW (1.5) x its RT60,
fitted from -5 to -25 dB, must give the RT60 within DECAY_TOLERANCE (5 %). The reflection factor
is solved on this same measure, so the check cannot fail on the absorption itself: it fails when
the solve ends at an edge of its range, half to twice Eyring's loss (a lattice that no such loss
makes decay at the RT60), or when the images the tails take part from those the solve measured.
The figures below are the measure's own sensitivity. The window: the fit ends about 0.43 RT60
in, and all that arrives after 1.5 RT60 lies 48 dB under the curve there, so the cut moves no
fitted point by 0.01 dB (1.0 or 2.0 RT60 give the same figure within 0.1 %); a window of half
the RT60, ending just past the fit, bends the curve down by itself, and a wall absorption of
half or a quarter the right one passed a 20 % check over it. The tolerance: 5 % is about the
least change of a reverberation time a listener hears; an absorption 10 % off moves the decay by
9 to 11 %, half of it by 98 %. The decay is no single exponential (the long axes again): from 0
to -10 dB it runs 7 to 13 % faster than the RT60, from -5 to -35 dB 4 to 7 % slower. The stored
tails (35 to 81 ms) hold only the first part of it.

Scale: per family, one factor on every filter, found at the default angle code 39 (the primary
group's head set 3) so that changing the angle leaves the factor, and with it the level, alone.
The factor makes the surround as loud as the dry signal for uncorrelated noise of equal level in
FL and FR: at each ear the output power is 2.0^2 x (E_L + E_R), E_c the energy (sum of squared
taps, by Parseval the mean power gain over the band) of input c's effective response at that ear
(its head filter plus the tail, which hears the sum of the head inputs); the factor sets the mean
of that over both ears to DRY_CHAIN_GAIN^2. The dry signal is what the surround node plays with
its switch off: its dry chain's limiter, maximum gain 2.0 where the wet chain's is 1.0, lifts a
program whose peaks stay under half of full scale by 6 dB, so the tables carry that 2.0 and
switching the surround on keeps such a program's level; a louder one meets the wet chain's limiter
as it meets the dry chain's. A full-scale program may then exceed full scale at an ear (a single
input's bound, 2 x sum|taps| of its response, is 5 to 17 times full scale); the wet chain's peak
limiter after the surround and the saturating conversion to PCM hold the bus at full scale.

Tail-gain tables (kHpTailGains, codes 5, 10, 15, 20, 30): the model's crosstalk-cancel
shuffler for speakers at +-code degrees, Hi and Hc the ipsi- and contralateral responses:
gs = a + b = 1 / |Hi + Hc|, gd = a - b = 1 / |Hi - Hc| at f = i fs / 512 (i = 0..255; i = 0
taken at fs / 1024), both divided by gs at the lowest bin, smoothed in dB (three-tap passes
until no two neighbours differ by more than 0.4 dB), clamped to [0.5, 2]; stored as the
pairs (a_i, b_i).

LinearPhaseIIR rows (kHpLinearPhaseRows, factors 2 and 4): IIR 1 = IIR 2 = the third-order
Butterworth low-pass by the bilinear transform, corner 0.2 fs and 0.1 fs; b0..b3, a0..a3 each.

  python3 gen_hp_tables.py [OUTPUT]      write the file (default: the one in the tree)
  python3 gen_hp_tables.py --check FILE  exit 1 when FILE differs from what would be written

Needs numpy and scipy (Debian python3-numpy, python3-scipy).
"""
import functools
import sys

import numpy as np
from scipy import signal

import head_model
from gen_common import run

FS = 44100.0
HEAD_TAPS = 1024
GRID = 16384
SPEAKER_DISTANCE = 2.0
ROOMS = {  # size code: (depth, width, height), RT60
    1: ((4.5, 3.5, 2.7), 0.25),
    2: ((6.0, 5.0, 3.0), 0.4),
    3: ((10.0, 8.0, 4.0), 0.6),
}
TAILS = {1: (3072, 3072), 2: (3072, 5120), 3: (7168, 7168)}
THIRD_TAIL = 6144
TAIL_HIGH_PASS = 20.0  # Hz
DECAY_WINDOW = 1.5  # x RT60: the room model's decay is measured on the images arriving within it
DECAY_TOLERANCE = 0.05  # of the RT60; how both are chosen is in the docstring
TAIL_LEVEL_DB = -18.0  # on the image sum, every room: how it is chosen is in the docstring
CTC_CODES = (5, 10, 15, 20, 30)
DEFAULT_HEAD_SET = 3  # angle code 39, the effect's default (angle setting 40 without the variant)
DRY_CHAIN_GAIN = 2.0  # the surround node's dry chain: its limiter's maximum gain


def ear_delay(azimuth, ear):
    """Seconds from the head centre to the ear (-1 left, +1 right) for a source at azimuth."""
    theta = np.radians(head_model.lateral_deg(azimuth))
    side = np.sign(((azimuth + 180.0) % 360.0) - 180.0)
    if side == 0:
        return 0.0
    near = side == ear
    return -(head_model.R / head_model.C) * np.sin(theta) if near else (head_model.R / head_model.C) * theta


def ear_spectrum(freqs, azimuth, ear, distance, level):
    """Complex response at freqs of one ear to a source at azimuth and distance."""
    t = distance / head_model.C + ear_delay(azimuth, ear)
    # The shadow filter acts by its magnitude alone: its phase would add a frequency-dependent
    # delay to the model's interaural delay.
    shadow = np.abs(head_model.shadow(freqs, azimuth, ear))
    return level * band_edge(freqs) * shadow * np.exp(-2j * np.pi * freqs * t)


def band_edge(freqs):
    """1 up to 18 kHz, a raised-cosine roll-off to 0 at fs/2: a fractional delay's phase jump at
    fs/2 would otherwise ring through the whole response."""
    x = np.clip((np.asarray(freqs) - 18000.0) / (FS / 2 - 18000.0), 0.0, 1.0)
    return 0.5 * (1.0 + np.cos(np.pi * x))


def to_taps(spectrum, length, fade):
    h = np.fft.irfft(spectrum, GRID)[:length].copy()
    ramp = 0.5 * (1.0 + np.cos(np.pi * np.arange(1, fade + 1) / fade))
    h[length - fade:] *= ramp
    return h


FREQS = np.arange(GRID // 2 + 1) * FS / GRID


def head_set(front, rear):
    out = []
    for az in (-front, front, 0.0, -rear, rear):  # L, R, C, RL, RR (negative: left)
        for ear in (-1, 1):
            spec = ear_spectrum(FREQS, az, ear, SPEAKER_DISTANCE, 1.0 / SPEAKER_DISTANCE)
            out.append(to_taps(spec, HEAD_TAPS, 64))
    return out


@functools.lru_cache(maxsize=None)
def image_lattice(dims, length):
    """(azimuth, distance, reflections) of every image but the direct sound within length
    samples, sorted; arrays."""
    listener = np.array(dims) / 2.0
    source = listener + np.array([SPEAKER_DISTANCE, 0.0, 0.0])
    reach = length / FS * head_model.C
    offsets, counts = [], []
    for a in range(3):  # per axis: the source shifted by n room pairs, mirrored (q = 1) or not
        L = dims[a]
        span = int(np.ceil(reach / (2.0 * L))) + 1
        n = np.repeat(np.arange(-span, span + 1), 2)
        q = np.tile([0, 1], 2 * span + 1)
        offsets.append(2.0 * n * L + (1 - 2 * q) * source[a] - listener[a])
        counts.append(np.abs(2 * n - q))
    dx, dy, dz = np.meshgrid(*offsets, indexing="ij")
    rx, ry, rz = np.meshgrid(*counts, indexing="ij")
    r = np.sqrt(dx * dx + dy * dy + dz * dz).ravel()
    order = (rx + ry + rz).ravel()
    keep = (order > 0) & (r < reach)
    azimuth = np.degrees(np.arctan2(dy.ravel()[keep], dx.ravel()[keep]))  # +y to the right
    r, order = r[keep], order[keep]
    # The tails' sums in a fixed order: by azimuth, distance, then the weaker image first.
    sort = np.lexsort((-order, r, azimuth))
    return azimuth[sort], r[sort], order[sort]


def decay_time(distances, levels, length):
    """-60 dB over the slope of the Schroeder curve of the image energies (arriving within length
    samples) fitted from -5 to -25 dB."""
    hist, _ = np.histogram(distances / head_model.C, np.arange(length + 1) / FS, weights=levels * levels)
    edc = np.cumsum(hist[::-1])[::-1]
    with np.errstate(divide="ignore"):
        db = 10.0 * np.log10(edc / edc[0])
    span = np.arange(np.argmax(db < -5.0), np.argmax(db < -25.0))
    slope = np.polyfit(span / FS, db[span], 1)[0]
    return -60.0 / slope


@functools.lru_cache(maxsize=None)
def room_beta(dims, rt60):
    """The wall reflection factor at which the image model decays at rt60, by bisection on the
    energy loss per reflection, -ln beta^2, between half and twice Eyring's."""
    length = int(DECAY_WINDOW * rt60 * FS)
    _, r, order = image_lattice(dims, length)
    d, w, h = dims
    eyring = 0.161 * d * w * h / (2.0 * (d * w + d * h + w * h) * rt60)
    low, high = 0.5 * eyring, 2.0 * eyring
    for _ in range(40):
        loss = 0.5 * (low + high)
        if decay_time(r, np.exp(-0.5 * loss * order) / r, length) > rt60:
            low = loss
        else:
            high = loss
    return np.exp(-0.25 * (low + high))


def images(dims, rt60, length):
    """(azimuth, distance, level) of every image but the direct sound within length samples."""
    azimuth, r, order = image_lattice(dims, length)
    return azimuth, r, room_beta(dims, rt60) ** order / r


def tail(dims, rt60, total):
    half = total // 2
    ears = []
    azimuth, r, level = images(dims, rt60, half)
    # Causal, applied on the fine grid: its response has died away long before the grid wraps.
    b, a = signal.butter(2, TAIL_HIGH_PASS, btype="high", fs=FS)
    high_pass = signal.freqz(b, a, worN=FREQS, fs=FS)[1]
    for ear in (-1, 1):
        spec = np.zeros(len(FREQS), dtype=np.complex128)
        for i in range(len(r)):
            spec += ear_spectrum(FREQS, azimuth[i], ear, r[i], level[i])
        ears.append(to_taps(spec * high_pass * 10.0 ** (TAIL_LEVEL_DB / 20.0), half, 256))
    return ears


def model_rt60(size):
    """The room model's own decay: its image energies (no head, no truncation at the tail length)
    over DECAY_WINDOW x the target RT60."""
    dims, rt60 = ROOMS[size]
    length = int(DECAY_WINDOW * rt60 * FS)
    _, r, level = images(dims, rt60, length)
    return decay_time(r, level, length)


def loudness_scale(heads, tails):
    """DRY_CHAIN_GAIN / sqrt of the mean over both ears of 2.0^2 x (E_L + E_R): the factor that
    gives uncorrelated noise in FL and FR the power at each ear that the dry chain gives it."""
    n = max(len(tails[0]), HEAD_TAPS)
    power = 0.0
    for ear in (0, 1):
        for c in (0, 1):  # head inputs L and R; the tail hears each of them once
            h = np.zeros(n)
            h[:HEAD_TAPS] += heads[2 * c + ear]
            h[:len(tails[ear])] += tails[ear]
            power += 4.0 * np.sum(h * h)
    return DRY_CHAIN_GAIN / np.sqrt(power / 2.0)


def family(size):
    dims, rt60 = ROOMS[size]
    groups = []
    for rear, total in ((110.0, TAILS[size][0]), (135.0, TAILS[size][1])):
        groups.append(([head_set(25.0 + 5.0 * i, rear) for i in range(4)], tail(dims, rt60, total)))
    groups.append(([head_set(30.0, 110.0)], tail(dims, rt60, THIRD_TAIL)))
    default_sets, default_tail = groups[0]
    scale = loudness_scale(default_sets[DEFAULT_HEAD_SET], default_tail)
    words = []
    for sets, t in groups:
        for h in sets:
            for f in h:
                words.append(f * scale)
        for f in t:
            words.append(f * scale)
    return np.concatenate(words)


def smooth_db(g):
    db = 20.0 * np.log10(g)
    for _ in range(10000):
        if np.max(np.abs(np.diff(db))) <= 0.4:
            break
        db[1:-1] = 0.25 * db[:-2] + 0.5 * db[1:-1] + 0.25 * db[2:]
        db[0] = 0.5 * (db[0] + db[1])
        db[-1] = 0.5 * (db[-1] + db[-2])
    return 10.0 ** (db / 20.0)


def tail_gains(code):
    freqs = np.arange(256) * FS / 512.0
    freqs[0] = FS / 1024.0
    hi = ear_spectrum(freqs, -code, -1, SPEAKER_DISTANCE, 1.0)  # left speaker, left ear
    hc = ear_spectrum(freqs, code, -1, SPEAKER_DISTANCE, 1.0)   # right speaker, left ear
    gs = 1.0 / np.abs(hi + hc)
    gd = 1.0 / np.abs(hi - hc)
    norm = gs[0]
    gs = np.clip(smooth_db(gs / norm), 0.5, 2.0)
    gd = np.clip(smooth_db(gd / norm), 0.5, 2.0)
    out = np.empty(512)
    out[0::2] = (gs + gd) / 2.0
    out[1::2] = (gs - gd) / 2.0
    return out


def linear_phase_row(corner):
    b, a = signal.butter(3, 2.0 * corner, btype="low")
    row = list(b) + list(a)
    return np.array(row + row)


def hex_words(name, values, per_line=8):
    bits = np.asarray(values, dtype=np.float32).view(np.uint32)
    lines = ["inline constexpr uint32_t %s[%d] = {" % (name, len(bits))]
    for i in range(0, len(bits), per_line):
        lines.append("    " + ",".join("0x%08x" % b for b in bits[i:i + per_line]) + ",")
    lines.append("};")
    return lines


def render():
    for size, (_, rt60) in ROOMS.items():
        measured = model_rt60(size)
        assert abs(measured - rt60) <= DECAY_TOLERANCE * rt60, "room %d decays at %.3f s" % (size, measured)
    out = ["// Generated by tools/gen_hp_tables.py; do not edit. Float bit patterns.", ""]
    for size in (1, 2, 3):
        out += hex_words("kHpFamily%d" % size, family(size))
        out.append("")
    out += hex_words("kHpTailGains", np.concatenate([tail_gains(c) for c in CTC_CODES]))
    out.append("")
    out += hex_words("kHpLinearPhaseRows", np.concatenate([linear_phase_row(0.2), linear_phase_row(0.1)]))
    out.append("")
    return "\n".join(out)


if __name__ == "__main__":
    sys.exit(run(render, "driver/effects/headphone/hp_tables.inc"))
