"""What the end-to-end tests share: the tools' paths (from CMake), a private
server per case, and checks of the tools' samples, lines and statuses."""
import array
import math
import os
import struct
import unittest
from private_server import Server

VELLOC, CORVANE, STOP_PROBE = (os.environ.get(n, "") for n in ("VELLOC", "CORVANE", "STOP_PROBE"))
PIPEWIRE = os.environ.get("CAPTURE_TEST_SERVER") == "pipewire"
FLOAT32 = struct.Struct("<f")


def pcm(data):
    samples = array.array("h")
    samples.frombytes(data[:len(data) // 2 * 2])
    return samples


def rule(s):
    """The one float-to-PCM rule: clamp from above (NaN becomes 1), then from
    below, multiply in single precision, truncate."""
    c = s if s < 1.0 else 1.0
    c = c if c >= -1.0 else -1.0
    return int(FLOAT32.unpack(FLOAT32.pack(c * 32767.0))[0])


def distinct():
    """Exactly representable steps, never silence, from a 64-bit generator: no
    stretch repeats an earlier one, so a lost, repeated or swapped block shows."""
    state, mask = 0x9E3779B97F4A7C15, (1 << 64) - 1
    while True:
        state = (state + 0x9E3779B97F4A7C15) & mask
        z = ((state ^ (state >> 30)) * 0xBF58476D1CE4E5B9) & mask
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
        z ^= z >> 31
        step = 1 + z % 32767
        yield (step + 0.5 if (z >> 32) & 1 else -step - 0.5) / 32767.0


def first_sound(samples, threshold=1):
    return next((i for i, v in enumerate(samples) if abs(v) >= threshold), None)


def fit_tone(x, frequency, rate=16000):
    """Least-squares sinusoid at `frequency`: its amplitude, and how far it stands
    above the rest of the signal in dB (a gap, repeat or wrong rate is rest)."""
    w = 2 * math.pi * frequency / rate
    s = [math.sin(w * i) for i in range(len(x))]
    c = [math.cos(w * i) for i in range(len(x))]
    ss, cc, sc = sum(v * v for v in s), sum(v * v for v in c), sum(a * b for a, b in zip(s, c))
    ys, yc = sum(a * b for a, b in zip(x, s)), sum(a * b for a, b in zip(x, c))
    det = ss * cc - sc * sc
    a, b = (ys * cc - yc * sc) / det, (yc * ss - ys * sc) / det
    signal = a * ys + b * yc
    return math.hypot(a, b), 10 * math.log10(signal / (sum(v * v for v in x) - signal))


def tone_after_onset(samples, frequency):
    """The fit of half a second from 0.1 s after a tone starts, or None."""
    onset = first_sound(samples, 2000)
    if onset is None or onset + 9600 > len(samples):
        return None
    return fit_tone(samples[onset + 1600:onset + 9600], frequency)


def lines(proc):
    """Standard error less the notes a sanitizer runtime adds at exit."""
    return "".join(line for line in proc.err.splitlines(True) if not line.startswith(
        ("==", "False positive error reports", "For details see")))


class ServerTest(unittest.TestCase):
    """Each case with a private server of its own."""

    def setUp(self):
        self.server = Server()
        self.addCleanup(self.server.close)

    def start(self, *argv, stdout=-1, **env):
        return self.server.spawn(list(argv), env=dict(self.server.env, **env), stdout=stdout)

    def assertStopsOn(self, proc, signo, line):
        proc.signal(signo)
        self.assertEqual(proc.status(2), 0)
        self.assertTrue(lines(proc).endswith(line), proc.err)
        self.assertEqual(lines(proc).count("Received"), 1, proc.err)

    def read_until(self, proc, done, seconds=2.0):
        """Reads standard output (a full pipe must not hold the tool up) until
        `done(standard error)` or `seconds` pass; returns what was read."""
        data = b""
        for _ in range(int(seconds / 0.05)):
            if done(proc.err):
                break
            data += proc.read(640, 0.05)
        return data

    def catch_up(self, proc):
        """Reads until the backlog is gone, so a rate measured from here counts
        only audio made from now on."""
        for _ in range(100):
            if len(proc.read(1 << 20, 0.06)) <= 3200:
                return
