# What the end-to-end tests share: the tools' paths (from CMake), a private
# server per case, and checks of the tools' samples, lines and statuses.
import array, ctypes, itertools, math, os, pathlib, random, re, signal, struct, sys, threading, time, unittest
from private_server import Proc, Server, rss_kib
from subprocess import DEVNULL

VELLOC, CORVANE, STOP_PROBE = (os.environ.get(n, "") for n in ("VELLOC", "CORVANE", "STOP_PROBE"))
PIPEWIRE = os.environ.get("CAPTURE_TEST_SERVER") == "pipewire"
CORVANE_STARTED = ("System audio capture started (16kHz mono PCM → stdout)\n[orrick] ASBD sample"
                   "Rate=16000.0 channels=1 bitsPerChannel=32 float=true nonInterleaved=false "
                   "bytesPerFrame=4\n")
STAMP = re.compile(r"^(?:\[tamsel\] )?Sample 0 captured at \d+\.\d{6} s realtime, "
                   r"\d+\.\d{6} s monotonic\n", re.M)


def unstamped(err):  # the lines less the sample-0 line, which comes once at most
    assert len(STAMP.findall(err)) <= 1, err
    return STAMP.sub("", err)


def pcm(data):
    return array.array("h", data[:len(data) // 2 * 2])


def rule(s):  # clamp from above (NaN becomes 1), then below; product in float32, truncated
    c = s if s < 1.0 else 1.0
    return int(struct.unpack("f", struct.pack("f", (c if c >= -1.0 else -1.0) * 32767.0))[0])


def distinct():
    # Exactly representable steps, never silence, from a 64-bit generator: no
    # stretch repeats an earlier one, so a lost, repeated or swapped block shows.
    state, mask = 0x9E3779B97F4A7C15, (1 << 64) - 1
    while True:
        state = (state + 0x9E3779B97F4A7C15) & mask
        z = ((state ^ (state >> 30)) * 0xBF58476D1CE4E5B9) & mask
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
        z, step = z ^ (z >> 31), 1 + (z ^ (z >> 31)) % 32767
        yield (step + 0.5 if (z >> 32) & 1 else -step - 0.5) / 32767.0


def storm(server, steps, every=0.0):
    # Each step's calls, [(pa_context_ call, name or index)], `every` seconds
    # apart over one connection (a pactl each takes longer).
    pa, p = ctypes.CDLL("libpulse.so.0"), ctypes.c_void_p
    for f in ["mainloop_new", "mainloop_get_api", "context_new"] + [
            "context_" + call for step in steps for call, _ in step]:
        getattr(pa, "pa_" + f).restype = p
    loop = p(pa.pa_mainloop_new())
    context = p(pa.pa_context_new(p(pa.pa_mainloop_get_api(loop)), b"storm"))
    pa.pa_context_connect(context, server.env["PULSE_SERVER"].encode(), 1, None)  # no autospawn
    while (state := pa.pa_context_get_state(context)) < 4:  # not yet ready or failed
        pa.pa_mainloop_iterate(loop, 1, None)
    assert state == 4, "storm: no connection"
    began = time.monotonic()
    for i, step in enumerate(steps):
        ops = [p(getattr(pa, "pa_context_" + call)(context, arg.encode() if isinstance(
            arg, str) else arg, None, None)) for call, arg in step]
        while any(pa.pa_operation_get_state(op) == 0 for op in ops):  # running
            pa.pa_mainloop_iterate(loop, 1, None)
        any(pa.pa_operation_unref(op) for op in ops)
        time.sleep(max(0, began + (i + 1) * every - time.monotonic()))
    pa.pa_context_disconnect(context), pa.pa_context_unref(context), pa.pa_mainloop_free(loop)


def first_sound(samples, threshold=1):
    return next((i for i, v in enumerate(samples) if abs(v) >= threshold), None)


def differences(got, want, within=8):
    # To hold a device that keeps time in place when its first dates were a little off, the
    # timeline leaves a sample out or says one twice, all others bit for bit. Returns where `got`
    # differs from `want` beyond such nudges (indices into got), the nudges, and how much of
    # `want` got covered.
    wrong, nudges, i, j = [], 0, 0, 0
    while i < len(got) and j < len(want):
        if got[i] != want[j]:
            ahead = list(got[i:i + within])
            if len(ahead) == within and ahead == want[j + 1:j + 1 + within]:
                nudges, j = nudges + 1, j + 1
                continue
            if j and len(ahead) == within and ahead == want[j - 1:j - 1 + within]:
                nudges, i = nudges + 1, i + 1
                continue
            wrong.append(i)
        i, j = i + 1, j + 1
    return wrong, nudges, j


def fit_tone(x, frequency, rate=16000):
    # The least-squares sinusoid: its amplitude, and how far it stands above the
    # rest in dB (a second tone, a gap, a repeat, a wrong rate). One hole of at
    # most a graph cycle where the tone fell silent and went on in phase is left
    # out: a busy server's, which starved its player; whatever moved the phase
    # still counts.
    w, quiet = 2 * math.pi * frequency / rate, max(map(abs, x)) / 50
    holes = [m.span() for m in re.finditer("q{8,}", "".join(".q"[abs(v) < quiet] for v in x))]
    margin, hole = rate // 200, range(0)  # the converter's filter smears a hole's edges
    if len(holes) == 1 and holes[0][1] - holes[0][0] <= rate * 1024 // 48000:
        hole = range(holes[0][0] - margin, holes[0][1] + margin)
    ss = cc = sc = xs = xc = xx = 0.0
    for i, v in enumerate(x):
        if i not in hole:
            s, c = math.sin(w * i), math.cos(w * i)
            ss, cc, sc = ss + s * s, cc + c * c, sc + s * c
            xs, xc, xx = xs + v * s, xc + v * c, xx + v * v
    det = ss * cc - sc * sc
    a, b = (xs * cc - xc * sc) / det, (xc * ss - xs * sc) / det
    signal = a * xs + b * xc
    return math.hypot(a, b), 10 * math.log10(signal / (xx - signal))


def tone_after_onset(samples, frequency):  # half a second from 0.1 s after it starts
    onset = first_sound(samples, 2000)
    if onset is not None and onset + 9600 <= len(samples):
        return fit_tone(samples[onset + 1600:onset + 9600], frequency)


class ServerTest(unittest.TestCase):
    def setUp(self):
        self.server = Server()
        self.addCleanup(self.server.close)

    def start(self, *argv, stdout=-1, **env):
        return self.server.spawn(list(argv), dict(self.server.env, **env), stdout=stdout)

    def assertStopsOn(self, proc, signo, line):  # status 0, and `line` once and last
        proc.signal(signo)
        self.assertEqual(proc.status(2), 0)
        self.assertTrue(proc.err.endswith(line) and proc.err.count("Received") == 1, proc.err)

    def assertEnds(self, proc, status, text, within=1.0):  # `text` soon after what ends it
        self.assertTrue(proc.wait_err(text, within), proc.err)
        self.assertEqual(proc.status(3), status)  # a sanitizer may take a while at exit

    def read_until(self, proc, done, seconds=2.0):
        # Reads (a full pipe must not hold the tool up) until `done(standard
        # error)` or `seconds` pass; returns what it read.
        data, end = b"", time.monotonic() + seconds
        while not done(proc.err) and time.monotonic() < end:
            data += proc.read(640, 0.05)
        return data

    def switch_default(self, proc, kind, name, moved, feed, channels):
        # The default changes: the tool says `moved` within 0.5 s, and from then
        # on keeps the real-time rate (what the move itself costs, bench/default-
        # switch measures); returns the fit of the tone then played to `feed`.
        while len(proc.read(1 << 20, 0.06)) > 3200:  # a backlog would count as made later
            pass
        self.server.set_default(kind, name)
        switched = time.monotonic()  # pactl's own start-up is not the tool's
        # Waits past the bound, so that a failure tells a late line from a lost move.
        data = self.read_until(proc, lambda err: moved in err, 5.0)
        took = time.monotonic() - switched
        self.assertTrue(moved in proc.err and took < 0.5, f"{took:.2f} s:\n{proc.err}")
        began, _ = time.monotonic(), self.server.play_tone(feed, 48000, channels, 1000, 3)
        data += (after := proc.read(3 * 32000))
        self.assertAlmostEqual(len(after) / 2 / (time.monotonic() - began), 16000, delta=800)
        return tone_after_onset(pcm(data), 1000)
