# A stop signal at any moment from the start of main: the process is gone
# promptly, with status 0 and one stop line, last, whatever its standard error
# does and whatever mask it starts with.
import fcntl
from support import *  # noqa: F403

STOPS = (signal.SIGINT, signal.SIGTERM)


def in_main(pid):  # the stop signals held or caught: main has begun (before it, the loader runs)
    status = pathlib.Path(f"/proc/{pid}/status").read_text()
    fields = dict(line.split(":", 1) for line in status.splitlines())
    return (int(fields["SigBlk"], 16) | int(fields["SigCgt"], 16)) & 0x4002 == 0x4002  # INT, TERM


class Storm(ServerTest):
    # Each tool started again and again and stopped 0 to 300 ms into main, over
    # start-up and running capture: with standard error read, with SIGINT ignored
    # at exec (as `&` in a script leaves it), while start-up waits on a server that
    # stopped answering, and with standard error's reader gone.
    def storm(self, tool, prefix):
        self.server.add_sink("speakers", default=True)
        self.server.add_mic("mic", 48000, 2, "Desk Mic", default=True)
        seed = int(os.environ.get("STORM_SEED", random.randrange(1 << 32)))
        rng = random.Random(seed)
        for run in range(int(os.environ.get("STORM_RUNS", 60))):
            # Start-up takes a few ms unless stalled: a third of the moments fall there.
            case, delay = ("read", "ignored", "stalled", "gone")[run % 4], 0.3 * rng.random() ** 4
            signo = signal.SIGINT if case == "ignored" else rng.choice(STOPS)
            read_end, write_end = os.pipe()
            case == "stalled" and os.kill(self.server.pid, signal.SIGSTOP)
            disposition = signal.SIG_IGN if case == "ignored" else signal.SIG_DFL
            proc = self.server.spawn([tool], stdout=DEVNULL, stderr=(-1, write_end)[case == "gone"],
                                     preexec_fn=lambda: signal.signal(signal.SIGINT, disposition))
            os.close(read_end), os.close(write_end)
            end = time.monotonic() + 5
            while not in_main(proc.pid) and time.monotonic() < end:
                pass
            time.sleep(delay)
            proc.signal(signo)
            status, text = proc.status(1), proc.err  # None: still running a second later
            # Every thread ended or ending: what is left is the kernel's teardown, which under
            # a sanitizer's huge mappings on a busy machine can take longer than that.
            if status is None and all(ended for ended, _ in threads(proc.pid)):
                status = proc.status(3)
            stuck = "" if status is not None else "".join(
                f"\nthread {about}" for _, about in threads(proc.pid))
            proc.stop()
            os.kill(self.server.pid, signal.SIGCONT)
            line = f"{prefix}Received {signo.name}, stopping...\n" * (case != "gone")
            self.assertEqual((status, text.count("Received"), text.endswith(line)),
                             (0, int(bool(line)), True),
                             f"STORM_SEED={seed} run {run}, {case}: {signo.name} at {delay:.4f} s\n"
                             + text + stuck)

    def test_velloc(self):
        self.storm(VELLOC, "[tamsel] ")

    def test_corvane(self):
        self.storm(CORVANE, "")


def threads(pid):
    # Each thread: whether it has ended or is ending (a zombie, or the kernel's "exiting" flag
    # set), and its name, state, kernel wait and system call.
    read = lambda path: path.read_text().strip() if path.exists() else "?"  # noqa: E731
    tasks = pathlib.Path(f"/proc/{pid}/task")
    for t in sorted(tasks.iterdir()) if tasks.exists() else ():
        state, *fields = read(t / "stat").rsplit(")", 1)[-1].split() or ["?"]
        ended = state == "Z" or len(fields) > 5 and bool(int(fields[5]) & 0x4)  # PF_EXITING
        yield ended, f"{t.name}: {state} {read(t / 'wchan')} {read(t / 'syscall')}"


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
