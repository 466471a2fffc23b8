"""The real corvane against a private server: the default output as a clean
16 kHz tone in real time, how it follows the default, and how it ends."""
import math
import signal
import time
import unittest
from support import CORVANE, PIPEWIRE, ServerTest, first_sound, pcm, tone_after_onset

STARTED = ("System audio capture started (16kHz mono PCM → stdout)\n"
           "[orrick] ASBD sampleRate=16000.0 channels=1 bitsPerChannel=32 float=true "
           "nonInterleaved=false bytesPerFrame=4\n")


class Corvane(ServerTest):
    def start_corvane(self, *args, **env):
        corvane = self.start(CORVANE, *args, **env)
        # An idle null sink sleeps up to 2 s before it first renders.
        self.assertTrue(corvane.wait_err(STARTED), corvane.err)
        return corvane

    def assertCleanTone(self, data):
        """1 kHz at half scale on a stereo sink, mixed down at the server's own gain:
        PulseAudio averages the channels, PipeWire adds them at -3 dB each."""
        fit = tone_after_onset(pcm(data), 1000)
        self.assertIsNotNone(fit, "the tone never arrived")
        expected = (math.sqrt(2) if PIPEWIRE else 1) * 0.5 * 32767
        self.assertAlmostEqual(fit[0], expected, delta=0.05 * expected)
        self.assertGreater(fit[1], 60)

    def test_captures_the_default_sink_as_a_clean_tone_in_real_time(self):
        """What the other sink plays would count against the fit."""
        self.server.add_sink("other")
        self.server.add_sink("speakers", default=True)
        corvane = self.start_corvane()
        self.server.play_tone(None, 48000, 2, 1000, 2.5)
        self.server.play_tone("other", 48000, 2, 2500, 2.5)
        warm_up = corvane.read(16000)
        self.assertEqual(len(warm_up), 16000)
        began = time.monotonic()
        timed = corvane.read(48000)
        self.assertEqual(len(timed), 48000)
        self.assertTrue(1.2 < time.monotonic() - began < 1.9)
        self.assertCleanTone(warm_up + timed)
        self.assertStopsOn(corvane, signal.SIGTERM, "Received SIGTERM, stopping...\n")
        self.assertEqual(corvane.err, STARTED + "Received SIGTERM, stopping...\n")

    def test_ignores_arguments_and_ends_on_a_signal_or_its_reader_going_away(self):
        self.server.add_sink("speakers", default=True)
        procs = [self.start_corvane("--device-id", "nothing", "-h") for _ in range(3)]
        for proc, signo in zip(procs, (signal.SIGINT, signal.SIGTERM)):
            self.assertEqual(len(proc.read(32000)), 32000, proc.err)
            self.assertStopsOn(proc, signo, f"Received {signo.name}, stopping...\n")
        procs[2].p.stdout.close()
        self.assertEqual(procs[2].status(3), -signal.SIGPIPE)
        self.assertEqual(procs[2].err, STARTED)

    def test_the_sink_going_or_the_server_dying_ends_it_with_status_one_within_a_second(self):
        module = self.server.add_sink("speakers", default=True)
        for cause, reason in ((lambda: self.server.pactl("unload-module", module), "Entity killed"),
                              (lambda: self.server.signal(signal.SIGKILL), "Connection terminated")):
            with self.subTest(reason):
                if reason != "Entity killed":
                    self.server.add_sink("spare", default=True)
                corvane = self.start_corvane()
                self.assertTrue(corvane.read(3200, 2))  # only the cause may stop it
                cause()
                caused = time.monotonic()
                self.assertEqual(corvane.status(3), 1)
                self.assertLess(time.monotonic() - caused, 1)
                self.assertTrue(corvane.err.endswith(f"Stream stopped with error: {reason}\n"),
                                corvane.err)

    def test_follows_the_default_output_until_none_is_left(self):
        """One line a move, the stream going on in real time; with no output left
        it ends as when its sink goes."""
        first = self.server.add_sink("first", default=True)
        second = self.server.add_sink("second")
        corvane = self.start_corvane()
        self.assertEqual(len(corvane.read(16000)), 16000)
        self.catch_up(corvane)
        began = time.monotonic()
        self.server.pactl("set-default-sink", "second")
        switched = time.monotonic()  # pactl's own start-up is not the tool's
        moved = "Capturing the default output: second\n"
        data = self.read_until(corvane, lambda err: moved in err)
        self.assertIn(moved, corvane.err)
        self.assertLess(time.monotonic() - switched, 0.5)
        self.server.play_tone("second", 48000, 2, 1000, 2)
        data += corvane.read(2 * 32000 - len(data))
        self.assertAlmostEqual(len(data) / 2 / (time.monotonic() - began), 16000, delta=800)
        self.assertCleanTone(data)

        # Ten switches within a second end on the last default, sound and all.
        for i in range(10):
            self.server.pactl("set-default-sink", ("first", "second")[i % 2])
            corvane.read(1600, 0.05)
        self.server.play_tone("second", 48000, 2, 1000, 1.5)
        self.assertIsNotNone(first_sound(pcm(corvane.read(32000)), 2000), "silence after switches")
        self.assertTrue(corvane.err.endswith(moved), corvane.err)
        for line in corvane.err.splitlines():
            self.assertTrue(line.startswith(("Capturing ", "[orrick]", "System audio")), line)

        self.server.pactl("unload-module", second)
        self.read_until(corvane, lambda err: err.endswith("Capturing the default output: first\n"))
        self.assertTrue(corvane.err.endswith("Capturing the default output: first\n"), corvane.err)
        self.assertTrue(corvane.read(3200, 2))
        self.server.pactl("unload-module", first)
        removed = time.monotonic()
        self.assertEqual(corvane.status(3), 1)
        self.assertLess(time.monotonic() - removed, 1)
        self.assertIn("Stream stopped with error: ", corvane.err)


if __name__ == "__main__":
    unittest.main()
