"""The real velloc against a private server with virtual microphones: what
reaches standard output, which lines reach standard error, how it ends."""
import array
import itertools
import math
import signal
import time
import unittest
from subprocess import DEVNULL
from support import CORVANE, PIPEWIRE, VELLOC, ServerTest, first_sound, fit_tone, lines, pcm, rule
from support import distinct, tone_after_onset

STARTED, FIRST_TAP = "[tamsel] Voice processing: OFF\n", "First tap callback fired"


class Capture(ServerTest):
    def read_sound(self, proc, count, seconds):
        """`count` samples from the first one that is not silence, or fewer."""
        got, end = array.array("h"), time.monotonic() + seconds
        while time.monotonic() < end and ((start := first_sound(got)) is None or
                                          len(got) < start + count):
            got += pcm(proc.read(1 << 16, 0.1))
        return got[first_sound(got) or 0:][:count]

    def test_direct_path_is_prompt_bit_exact_and_loses_nothing_to_a_stalled_reader(self):
        self.server.add_mic("other", 48000, 2, "Other Mic")
        self.server.add_mic("mono16", 16000, 1, "Mono Mic", default=True)
        velloc = self.start(VELLOC)
        self.assertTrue(velloc.wait_err(STARTED), velloc.err)
        started = time.monotonic()
        self.assertTrue(velloc.wait_err(FIRST_TAP + " (frameLength=1600)", 3), velloc.err)
        self.assertLess(time.monotonic() - started, 0.6)
        self.assertIn("[tamsel] Native input format: 16000.0Hz, 1ch, commonFormat=1\n"
                      "[tamsel] Installed tap with Float32→Int16 conversion (no rate conversion "
                      "needed)\n", velloc.err)
        self.assertNotIn("Audio converter", velloc.err)
        inf = float("inf")
        played = array.array("f", [0.5, 1, -1, 0.25, -0.25, 0.99999, 1.5, -2, inf, -inf, 0.7,
                                   -0.00001, 3e38, -1e-30])
        played.extend(math.sin(i * 0.01) * 1.2 for i in range(16000))
        played.extend(itertools.islice(distinct(), 16000 * 2))
        self.server.play("mono16_feed", 16000, 1, played)
        self.assertEqual(len(velloc.read(2, 3)), 2)
        time.sleep(3)  # more than the pipe holds
        got = self.read_sound(velloc, len(played), 10)
        self.assertEqual(len(got), len(played), "the capture ended short")
        wrong = next((i for i, (g, f) in enumerate(zip(got, played)) if g != rule(f)), None)
        self.assertIsNone(wrong, f"first difference at sample {wrong} of {len(played)}")

    def test_converter_path_gives_a_clean_tone_at_the_real_time_rate(self):
        self.server.add_mic("usb", 48000, 2, "USB Mic")
        velloc = self.start(VELLOC, "--device-id", "USB Mic")
        self.assertTrue(velloc.wait_err(STARTED), velloc.err)
        self.assertIn("[tamsel] Native input format: 48000.0Hz, 2ch, commonFormat=1\n", velloc.err)
        self.assertIn("[tamsel] Audio converter: 48000.0Hz/2ch → 16000.0Hz/1ch", velloc.err)
        self.server.play_tone("usb_feed", 48000, 2, 1000, 3)
        self.assertEqual(len(velloc.read(2, 3)), 2)
        began = time.monotonic()
        data = velloc.read(seconds=2)
        self.assertAlmostEqual(len(data) / 2 / (time.monotonic() - began), 16000, delta=1600)
        samples = pcm(data)
        start = first_sound(samples)
        self.assertGreaterEqual(len(samples), start + 20000)
        amplitude, snr = fit_tone(samples[start + 4000:start + 20000], 1000)
        self.assertAlmostEqual(amplitude, 0.5 * 32767, delta=0.01 * 32767)
        self.assertGreater(snr, 70)

    @unittest.skipIf(PIPEWIRE, "once is enough")
    def test_a_reader_stalled_on_a_huge_input_loses_nothing(self):
        """The backlog is held after conversion (32 kB a second, not the input's
        6 MB), while the server is read on: 8 s is far more than it or a pipe holds."""
        self.server.add_mic("big", 192000, 8, "Big Mic")
        velloc = self.start(VELLOC, "--device-id", "Big Mic")
        self.assertTrue(velloc.wait_err(FIRST_TAP), velloc.err)
        first_tap = time.monotonic()
        time.sleep(8)
        # Caught up once a third of a second brings no more than real time does.
        data = b""
        while len(more := velloc.read(1 << 20, 0.333)) > 16000:
            data += more
        data += more
        # Less the converter's delay and the block in flight.
        self.assertAlmostEqual(len(data) / 32000, time.monotonic() - first_tap, delta=0.25)
        self.assertNotIn("WARNING", velloc.err)

    def test_audio_the_server_drops_while_velloc_is_stopped_is_reported(self):
        """The server's queue holds 4 MiB, well under a second of 192 kHz x 8."""
        self.server.add_mic("big", 192000, 8, "Big Mic")
        velloc = self.start(VELLOC, "--device-id", "Big Mic")
        self.assertTrue(velloc.wait_err(FIRST_TAP), velloc.err)
        first_tap = time.monotonic()
        data = velloc.read(3200, 3)
        velloc.signal(signal.SIGSTOP)
        time.sleep(3)
        velloc.signal(signal.SIGCONT)
        # Loss shows as a lag that has grown from one 5 s window to the next.
        warning = "[tamsel] WARNING: the audio server dropped "
        for _ in range(60):
            data += velloc.read(1 << 20, 0.2)
            if warning in velloc.err:
                break
        data += velloc.read(1 << 20, 0.5)  # caught up
        missing_ms = (time.monotonic() - first_tap - len(data) / 32000) * 1000
        self.assertGreater(missing_ms, 500, velloc.err)
        self.assertIn(warning, velloc.err, f"{missing_ms} ms missing without a line")
        reported = float(velloc.err.split(warning)[1].split()[0])
        self.assertAlmostEqual(reported, missing_ms, delta=400, msg=velloc.err)


class Devices(ServerTest):
    def test_finds_devices_by_their_description(self):
        for name in ("cafe", "twin_a", "twin_b"):
            self.server.add_mic(name, 16000, 1, {"cafe": "Café Mic"}.get(name, "Twin Mic"))
        cafe, twin, monitor = map(self.server.index, ("cafe", "twin_a", "cafe_feed.monitor"))
        matched = '[tamsel] CoreAudio: matched input device "'
        no_match = ('[tamsel] CoreAudio: no input device matched name "{}" — falling back to '
                    'system default\n')
        for request, once, never in [
                ("Cafe\u0301 Mic", [f'{matched}Café Mic" (id={cafe}, channels=1)\n',
                                    f'[tamsel] AudioUnit: bound input to device id={cafe} '
                                    '("Cafe\u0301 Mic")\n'], "no input device"),
                ("Twin Mic", ["matched input device", f'{matched}Twin Mic" (id={twin},'],
                 "no input device"),
                ("Monitor of Feed of cafe",
                 [f'{matched}Monitor of Feed of cafe" (id={monitor}, channels=1)\n'],
                 "no input device"),
                ("twin mic", [no_match.format("twin mic")], "AudioUnit:"),
                ("Twin Mic ", [no_match.format("Twin Mic ")], "AudioUnit:")]:
            with self.subTest(request=request):
                velloc = self.start(VELLOC, "--device-id", request)
                self.assertTrue(velloc.wait_err(STARTED), velloc.err)
                for line in once:
                    self.assertEqual(velloc.err.count(line), 1, line + "\n" + velloc.err)
                self.assertNotIn(never, velloc.err)

    def test_ends_on_sigint_sigterm_or_its_reader_going_away(self):
        self.server.add_mic("mono16", 16000, 1, "Mono Mic", default=True)
        on_int, on_term, reader_goes = (self.start(VELLOC) for _ in range(3))
        self.assertEqual(len(reader_goes.read(2, 5)), 2, reader_goes.err)
        reader_goes.p.stdout.close()
        self.assertEqual(reader_goes.status(2), -signal.SIGPIPE)
        for proc, signo, name in ((on_int, signal.SIGINT, "SIGINT"),
                                  (on_term, signal.SIGTERM, "SIGTERM")):
            self.assertEqual(len(proc.read(32000, 5)), 32000, proc.err)
            self.assertStopsOn(proc, signo, f"[tamsel] Received {name}, stopping...\n")

    def test_a_closed_stdout_is_reported_at_the_first_write(self):
        self.server.add_mic("mic", 48000, 2, "Desk Mic", default=True)
        self.server.add_sink("speakers", default=True)
        for tool, line in ((VELLOC, "[tamsel] FATAL: cannot write to stdout: Bad file descriptor\n"),
                           (CORVANE, "FATAL: cannot write to stdout: Bad file "
                                                   "descriptor\n")):
            with self.subTest(tool=tool):
                proc = self.start("sh", "-c", 'exec "$0" <&- >&-', tool, stdout=DEVNULL)
                self.assertEqual(proc.status(5), 1, proc.err)
                self.assertTrue(lines(proc).endswith(line), proc.err)

    def test_the_source_going_or_the_server_dying_ends_capture_with_status_one(self):
        _, usb_source = self.server.add_mic("usb", 48000, 2, "USB Mic")
        self.server.add_mic("mono16", 16000, 1, "Mono Mic")
        # The second's reader stalls: its pipe is full by the time the server
        # dies, which must not hold the line back.
        on_usb = self.start(VELLOC, "--device-id", "USB Mic", stdout=DEVNULL)
        on_mono = self.start(VELLOC, "--device-id", "Mono Mic")
        for proc in (on_usb, on_mono):
            self.assertTrue(proc.wait_err(FIRST_TAP), proc.err)
        self.server.pactl("unload-module", usb_source)
        self.assertTrue(on_usb.wait_err(
            "[tamsel] FATAL: audio stream failed: Entity killed\n", 1), on_usb.err)
        self.assertEqual(on_usb.status(3), 1)
        time.sleep(3)  # 96 kB: more than a pipe holds
        self.server.signal(signal.SIGKILL)
        self.assertTrue(on_mono.wait_err(
            "[tamsel] FATAL: audio stream failed: Connection terminated\n", 1), on_mono.err)
        self.assertEqual(on_mono.status(3), 1)

    def test_no_server_or_one_that_stopped_answering_ends_either_tool(self):
        """velloc warns and ends with status 2, corvane with status 1, within 5 s."""
        degenerate = ("[tamsel] Native input format: 0.0Hz, 0ch, commonFormat=1\n[tamsel] "
                      "FATAL: native input format is degenerate (channels=0, rate=0.0).")
        nobody = {"PULSE_SERVER": f"unix:{self.server.dir}/nobody"}
        rows = [(VELLOC, nobody, 2, "[tamsel] WARNING: audio server unreachable: Connection "
                 "refused\n" + degenerate),
                (CORVANE, nobody, 1, "Failed to start capture: Connection refused\n"),
                (CORVANE, {}, 1, "Error: No displays found\n")]
        procs = [self.start(tool, **env) for tool, env, _, _ in rows]
        statuses = [proc.status(7) for proc in procs]
        self.server.signal(signal.SIGSTOP)
        rows += [(VELLOC, {}, 2, "[tamsel] WARNING: audio server unreachable: Timeout\n" +
                  degenerate), (CORVANE, {}, 1, "Failed to start capture: Timeout\n")]
        procs += [self.start(tool) for tool, _, _, _ in rows[3:]]
        statuses += [proc.status(7) for proc in procs[3:]]
        for proc, status, (tool, _, want, text) in zip(procs, statuses, rows):
            with self.subTest(tool=tool, text=text):
                self.assertEqual(status, want)
                self.assertEqual(proc.read(seconds=0), b"")
                self.assertEqual(proc.err if tool == CORVANE else text, text)
                self.assertIn(text, proc.err)
        self.server.signal(signal.SIGCONT)

    def test_follows_the_default_input_unless_a_device_was_named(self):
        """One line a move; the format stays the first input's (48 kHz stereo),
        the server converting the second's mono."""
        one = self.server.add_mic("one", 48000, 2, "Mic One", default=True)
        two = self.server.add_mic("two", 48000, 1, "Mic Two")
        following = self.start(VELLOC)
        named = self.start(VELLOC, "--device-id", "Mic One", stdout=DEVNULL)
        for proc in (following, named):
            self.assertTrue(proc.wait_err(FIRST_TAP), proc.err)
        self.assertTrue(following.read(3200, 2))
        self.catch_up(following)
        began = time.monotonic()
        self.server.pactl("set-default-source", "two")
        switched = time.monotonic()  # pactl's own start-up is not the tool's
        moved = '[tamsel] Default input changed: capturing "Mic Two"\n'
        data = self.read_until(following, lambda err: moved in err)
        self.assertIn(moved, following.err)
        self.assertLess(time.monotonic() - switched, 0.5)
        self.server.play_tone("two_feed", 48000, 1, 1000, 2)
        data += following.read(2 * 32000 - len(data), 5)
        self.assertAlmostEqual(len(data) / 2 / (time.monotonic() - began), 16000, delta=800)
        fit = tone_after_onset(pcm(data), 1000)
        self.assertIsNotNone(fit, "the tone never arrived")
        # Spread over both channels at the server's own gain.
        self.assertTrue(0.3 * 32767 < fit[0] < 0.75 * 32767, fit)
        self.assertGreater(fit[1], 50)

        # The default input removed with another left: a move, not an end.
        self.server.pactl("unload-module", two[1])
        self.read_until(following, lambda err: err.count("Default input changed") >= 2)
        self.assertEqual(following.err.count("Default input changed"), 2, following.err)
        self.assertTrue(following.read(3200, 2))
        self.assertIsNone(following.p.poll())
        self.assertNotIn("Default input changed", named.err)
        self.assertIsNone(named.p.poll())

        # With every source gone both end: the named one with its device, the
        # other once no default is left.
        for module in (one[1], one[0], two[0]):
            self.server.pactl("unload-module", module)
        emptied = time.monotonic()
        self.assertEqual(following.status(3), 1)
        self.assertLess(time.monotonic() - emptied, 1.5)
        self.assertIn("[tamsel] FATAL: audio stream failed: ", following.err)
        self.assertEqual(named.status(3), 1)


if __name__ == "__main__":
    unittest.main()
