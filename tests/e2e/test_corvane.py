# The real corvane against a private server: the default output as a clean
# 16 kHz tone in real time, how it follows the default, and how it ends.
from support import *  # noqa: F403




class Corvane(ServerTest):
    def start_corvane(self, *args):
        corvane = self.start(CORVANE, *args)
        self.assertTrue(corvane.wait_err(CORVANE_STARTED), corvane.err)
        return corvane

    def assertCleanTone(self, fit):
        # 1 kHz at half scale on a stereo sink, mixed down at the server's own
        # gain: PulseAudio averages the channels, PipeWire adds them at -3 dB.
        expected = (math.sqrt(2) if PIPEWIRE else 1) * 0.5 * 32767
        self.assertTrue(fit and abs(fit[0] - expected) < 0.05 * expected and fit[1] > 60, fit)

    def test_captures_the_default_sink_as_a_clean_tone_in_real_time(self):
        self.server.add_sink("other")
        self.server.add_sink("speakers", default=True)
        corvane = self.start_corvane()
        self.server.play_tone(None, 48000, 2, 1000, 2.5)
        self.server.play_tone("other", 48000, 2, 2500, 2.5)  # would count against the fit
        warm_up = corvane.read(16000)
        began, timed = time.monotonic(), corvane.read(48000)
        self.assertEqual((len(warm_up), len(timed)), (16000, 48000))
        self.assertTrue(1.2 < time.monotonic() - began < 1.9)
        self.assertCleanTone(tone_after_onset(pcm(warm_up + timed), 1000))
        self.assertStopsOn(corvane, signal.SIGTERM, "Received SIGTERM, stopping...\n")
        self.assertEqual(len(STAMP.findall(corvane.err)), 1, corvane.err)
        self.assertEqual(unstamped(corvane.err), CORVANE_STARTED + "Received SIGTERM, stopping...\n")

    def test_the_sink_going_or_the_server_dying_ends_it_with_status_one_within_a_second(self):
        module = self.server.add_sink("speakers", default=True)
        for cause, reason in ((lambda: self.server.pactl("unload-module", module), "Entity killed"),
                              (self.server.kill, "Connection terminated")):
            if reason != "Entity killed":
                self.server.add_sink("spare", default=True)
            corvane = self.start_corvane()
            self.assertTrue(corvane.read(3200, 2))  # only the cause may stop it
            cause()
            self.assertEnds(corvane, 1, f"Stream stopped with error: {reason}\n")
            self.assertTrue(corvane.err.endswith(reason + "\n"), corvane.err)

    def test_follows_the_default_output_until_none_is_left(self):
        # One line a move, the stream going on in real time; with no output
        # left it ends as when its sink goes.
        first = self.server.add_sink("first", default=True)
        second = self.server.add_sink("second")
        corvane = self.start_corvane()
        self.assertEqual(len(corvane.read(16000)), 16000)
        moved = "Capturing the default output: second\n"
        self.assertCleanTone(self.switch_default(corvane, "sink", "second", moved, "second", 2))

        self.server.pactl("unload-module", second)
        back = "Capturing the default output: first\n"
        self.read_until(corvane, lambda err: err.endswith(back))
        self.assertTrue(corvane.err.endswith(back) and corvane.read(3200, 2), corvane.err)
        self.server.pactl("unload-module", first)
        self.assertEnds(corvane, 1, "Stream stopped with error: ")
