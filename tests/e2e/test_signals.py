# A stop signal at any moment: the process is gone promptly, with status 0 and
# one stop line, last, once its handlers are in (before, the default action ends
# it), whatever its standard error does and whatever mask it starts with.
import fcntl
from support import *  # noqa: F403

STOPS = (signal.SIGINT, signal.SIGTERM)


class Storm(ServerTest):
    # Each tool started again and again, the signals spread over start-up, the
    # handlers' installation and running capture.
    def storm(self, tool, prefix, started):
        self.server.add_sink("speakers", default=True)
        self.server.add_mic("mic", 48000, 2, "Desk Mic", default=True)
        for _ in range(2):  # the second start, caches warm, times start-up in this build
            began, proc = time.monotonic(), self.start(tool, stdout=DEVNULL)
            self.assertTrue(proc.wait_err(started, 10), proc.err)
            s = time.monotonic() - began
        seed = int(os.environ.get("STORM_SEED", random.randrange(1 << 32)))
        rng, handled, runs = random.Random(seed), 0, int(os.environ.get("STORM_RUNS", 60))
        for run in range(runs):
            signo, delay = rng.choice(STOPS), rng.uniform(*rng.choice(((0, s), (s / 2, s * 1.5),
                                                                       (s, s + 0.3))))
            proc = self.start(tool, stdout=DEVNULL)
            time.sleep(delay)
            proc.signal(signo)
            status, text = proc.status(1), proc.err  # None: still running a second later
            proc.stop()
            line = f"{prefix}Received {signo.name}, stopping...\n" if "Received" in text else ""
            handled += bool(line)
            self.assertEqual((status, text.count("Received"), text.endswith(line)),
                             (0 if line else -signo, int(bool(line)), True),
                             f"STORM_SEED={seed} run {run}: {signo.name} at {delay:.4f} s\n{text}")
        self.assertGreater(handled, runs / 4, "the moments must reach past the handlers")

    def test_velloc(self):
        self.storm(VELLOC, "[tamsel] ", "[tamsel] Voice processing: OFF\n")

    def test_corvane(self):
        self.storm(CORVANE, "", "System audio capture started")


def cpu_seconds(pid):
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class StopProbe(unittest.TestCase):
    # A probe with the tools' stop handlers that says "ready" on standard output
    # once they are in; "busy", it writes lines from two threads all along.
    def test_the_stop_line_is_last_while_other_threads_write_lines(self):
        for run in range(50):
            probe = Proc([STOP_PROBE, "busy"], None, stdout=DEVNULL)
            self.assertTrue(probe.wait_err("busy\n"))
            probe.signal(STOPS[run % 2])
            self.assertEqual((probe.status(1), probe.err.count("stop:"), probe.err.endswith(
                f"stop: {STOPS[run % 2].name}\n")), (0, 1, True), probe.err[-200:])
            probe.stop()

    def test_it_ends_promptly_with_status_zero_without_spinning(self):
        for mode, stderr, blocked, signo in (("busy", "filled by its own lines", False, "SIGTERM"),
                                             ("quiet", "full before start", False, "SIGINT"),
                                             ("quiet", "read", True, "SIGINT"),
                                             ("quiet", "read", True, "SIGTERM")):
            with self.subTest(stderr=stderr, blocked=blocked, signo=signo):
                read_end, write_end = os.pipe()
                if stderr == "full before start":
                    os.write(write_end, bytes(fcntl.fcntl(write_end, fcntl.F_GETPIPE_SZ)))
                probe = Proc([STOP_PROBE, mode], None, stderr=write_end, preexec_fn=lambda: (
                    signal.pthread_sigmask(signal.SIG_BLOCK, STOPS) if blocked else None))
                os.close(write_end)
                self.assertEqual(probe.read(6, 10), b"ready\n")
                before = cpu_seconds(probe.pid)
                time.sleep(stderr != "read")  # a second while its standard error is full
                self.assertLess(cpu_seconds(probe.pid) - before, 0.2)
                probe.signal(signal.Signals[signo])
                self.assertEqual(probe.status(0.5), 0)
                if stderr == "read":
                    self.assertEqual(os.read(read_end, 99), b"ready\\tto stop\nstop: %s\n" % signo.encode())
                os.close(read_end)
                probe.stop()
