#!/usr/bin/env python3
# A private audio server with virtual devices, for the tests and bench/.
#
#     python3 tests/e2e/private_server.py [--] COMMAND...
#
# runs COMMAND against one, with a default microphone playing 440 Hz and a
# default output playing 660 Hz. It is PulseAudio, or PipeWire with WirePlumber
# and its pulse server when CAPTURE_TEST_SERVER=pipewire; either way it lives in
# a fresh folder (its own runtime dir, home and client.conf) and its clients see
# nothing else.
import array, contextlib, fcntl, os, pathlib, select, shutil, signal, subprocess, sys, tempfile
import collections, threading, time
from subprocess import DEVNULL, PIPE

# Every process started here dies with the process that started it, and is in
# the watchdog's process group: when the watchdog's pipe closes without "done"
# (the test was killed outright), it kills the group and removes the folder.
PDEATH = ["setpriv", "--pdeathsig", "KILL", "--"]
WATCHDOG = """read p; [ "$p" = done ] && exit
kill -9 $(pgrep -g $$ | grep -vx $$) 2>/dev/null; sleep 0.2; rm -rf "$0"
"""
# WirePlumber without a session bus, hardware monitors or device reservation, so
# a private server never opens a card a desktop's server uses. The graph runs at
# the sinks' own rates, so float audio goes through bit for bit, in cycles of at
# least 1024 frames (fewer wake-ups on a busy machine). The pulse server is the
# stock one less the "Dummy Output" it makes up when there is no sink; without
# the real-time module its streams miss cycles on a busy machine.
PIPEWIRE_FILES = {
    "wireplumber/main.lua.d/60-private.lua": 'alsa_monitor.properties["alsa.reserve"] = false; '
    'default_access.properties["enable-flatpak-portal"] = false; alsa_monitor.enabled = false; '
    "v4l2_monitor.enabled = false; libcamera_monitor.enabled = false",
    "wireplumber/bluetooth.lua.d/60-private.lua": "bluez_monitor.enabled = false",
    "pipewire/pipewire.conf.d/60-private.conf": "context.properties = { default.clock.allowed-"
    "rates = [ 16000 44100 48000 192000 ] default.clock.min-quantum = 1024 }"}


def rss_kib(pid, field="VmRSS"):  # of a running process; VmHWM is its peak
    return int(pathlib.Path(f"/proc/{pid}/status").read_text().split(field + ":")[1].split()[0])


def until(done, seconds=5.0):
    end = time.monotonic() + seconds
    while not (result := done()) and time.monotonic() < end:
        time.sleep(0.02)
    return result


class Proc:
    # A child whose standard output is read on demand and whose standard error
    # is collected in the background.
    def __init__(self, argv, env, stdin=DEVNULL, stdout=PIPE, stderr=PIPE, **kw):
        self.p = subprocess.Popen(PDEATH + argv, env=env, stdin=stdin, stdout=stdout,
                                  stderr=stderr, **kw)
        self.pid, self._err = self.p.pid, b""
        self._collector = threading.Thread(target=self._collect, daemon=True)
        stderr == PIPE and self._collector.start()

    def _collect(self):
        while chunk := os.read(self.p.stderr.fileno(), 65536):
            self._err += chunk

    @property
    def err(self):  # less the notes a sanitizer runtime adds at exit
        return "".join(line for line in self._err.decode(errors="replace").splitlines(True)
                       if not line.startswith(("==", "False positive error", "For details see")))

    def wait_err(self, text, seconds=5.0):
        return until(lambda: text in self.err, seconds)

    def read(self, count=1 << 40, seconds=5.0):  # up to `count` bytes within `seconds`
        data, end, fd = b"", time.monotonic() + seconds, self.p.stdout.fileno()
        while len(data) < count and select.select([fd], [], [], max(0, end - time.monotonic()))[0]:
            if not (chunk := os.read(fd, min(count - len(data), 1 << 20))):
                break
            data += chunk
        return data

    def status(self, seconds=3.0):  # -N for signal N; None while it runs
        until(lambda: self.p.poll() is not None, seconds) and self._collector.is_alive() and \
            self._collector.join(1)  # its last lines
        return self.p.returncode

    def signal(self, signo):
        self.p.poll() is None and self.p.send_signal(signo)

    def stop(self, signo=None):
        self.signal(signo or signal.SIGKILL)
        self.signal(signal.SIGCONT)
        self.status(3) is None and self.p.kill()
        self.p.__exit__(None, None, None)  # its pipes closed, and waited for


class Server:
    def __init__(self, kind=None, keeper_msec=10):
        self.kind = kind or os.environ.get("CAPTURE_TEST_SERVER") or "pulseaudio"
        assert self.kind in ("pulseaudio", "pipewire"), "CAPTURE_TEST_SERVER: pulseaudio|pipewire"
        self.keeper_msec, self.servers, self.helpers = keeper_msec, [], []
        self.dir = d = tempfile.mkdtemp(prefix="capture-test-")
        self.watchdog = subprocess.Popen(["sh", "-c", WATCHDOG, d], stdin=PIPE, process_group=0)
        os.makedirs(d + "/run/pulse", 0o700)
        pathlib.Path(d, "client.conf").write_text("autospawn = no\n")
        # Whatever the caller's environment points at (a desktop server, a
        # session bus, a cookie), the server and its clients see only this folder.
        self.env = {k: v for k, v in os.environ.items() if k != "DISPLAY" and not k.startswith(
            ("PULSE_", "PIPEWIRE_", "WIREPLUMBER_", "DBUS_"))}
        self.env.update(PULSE_SERVER=f"unix:{d}/run/pulse/native", XDG_RUNTIME_DIR=d + "/run",
                        HOME=d, PULSE_CLIENTCONFIG=d + "/client.conf", XDG_CONFIG_HOME=d + "/cf",
                        DBUS_SESSION_BUS_ADDRESS=f"unix:path={d}/none", XDG_DATA_HOME=d + "/data",
                        DBUS_SYSTEM_BUS_ADDRESS=f"unix:path={d}/none", XDG_STATE_HOME=d + "/st")
        # Should a step fail, the watchdog cleans up once this object is gone.
        if self.kind == "pulseaudio":
            self._serve("pulseaudio", "-n", "--load=module-native-protocol-unix auth-anonymous=1 "
                        f"socket={d}/run/pulse/native", "--daemonize=no", "--exit-idle-time=-1",
                        "--use-pid-file=no", "--realtime=no", "--high-priority=no", "--system=no")
            self._until(lambda: self.pactl("info", check=False), "no answer")
        else:
            for path, text in PIPEWIRE_FILES.items():
                os.makedirs(os.path.dirname(f"{d}/cf/{path}"), exist_ok=True)
                pathlib.Path(d, "cf", path).write_text(text + "\n")
            # Now and then (a few starts in a hundred on a busy machine) the
            # server comes up with its pulse clients deaf to changes of the
            # defaults for good, though each new one sees them: it starts again.
            for _ in range(3):
                if self._start_pipewire():
                    break
                any(proc.stop() for proc in self.servers[::-1])  # and what they left goes
                self.servers.clear()
                shutil.rmtree(d + "/run"), shutil.rmtree(d + "/st", ignore_errors=True)
                os.makedirs(d + "/run/pulse", 0o700)
            else:
                raise RuntimeError("private pipewire server: its clients hear no new default")
        self.pid = self.servers[-1].pid  # the process clients talk to

    def _start_pipewire(self):  # whether a connected client hears the default change
        d = self.dir
        self._serve("pipewire")
        self._until(lambda: os.path.exists(d + "/run/pipewire-0"), "pipewire has no socket")
        self._serve("wireplumber")
        self._serve("pipewire-pulse")
        self._until(lambda: self.pactl("info", check=False), "no answer")
        self.pactl("unload-module", "module-always-sink")  # as PulseAudio, only a test's devices
        # WirePlumber links streams and makes defaults: it runs once a default
        # asked for shows, and a client connected before a second one must hear
        # of it. The probe sinks go before any test sees them.
        listener = self.spawn(["pactl", "subscribe"], into=[])
        probes = [self._load_device("sinks", n, 48000, 2, "module-null-sink", f"sink_name={n}")
                  for n in ("session_probe", "session_probe_2")]
        self.set_default("sink", "session_probe")
        until(lambda: b"on sink" in listener.read(1 << 16, 0.05), 2.0)  # it listens
        listener.read(1 << 16, 0.2)  # and what it heard so far goes
        self.set_default("sink", "session_probe_2")
        heard = until(lambda: b"on server" in listener.read(1 << 16, 0.05), 2.0)
        listener.stop()
        for probe in probes:
            self.pactl("unload-module", probe)
        self._until(lambda: "session_probe" not in self.pactl("list", "sinks", "short"),
                    "the probe sinks stayed")
        return heard

    def _serve(self, name, *args):
        env = dict(self.env, PULSE_SERVER="") if name == "pulseaudio" else self.env
        with open(f"{self.dir}/{name}.log", "w") as log:
            self.spawn([name, *args], env, self.servers, stdout=log, stderr=log)

    def _until(self, done, what, seconds=10.0):
        ended = lambda: any(s.p.poll() is not None for s in self.servers)  # noqa: E731
        if not until(lambda: ended() or done(), seconds) or ended():
            logs = "".join(open(f"{self.dir}/{s.p.args[len(PDEATH)]}.log").read()[-2000:]
                           for s in self.servers)
            raise RuntimeError(f"private {self.kind} server: {what}\n{logs}")

    def spawn(self, argv, env=None, into=None, **kw):
        proc = Proc(argv, env or self.env, process_group=self.watchdog.pid, **kw)
        (self.helpers if into is None else into).append(proc)
        return proc

    def pactl(self, *args, check=True):
        r = subprocess.run(PDEATH + ["pactl", *map(str, args)], env=self.env, text=True,
                           capture_output=True, timeout=10)
        if r.returncode and check:
            raise RuntimeError(f"pactl {args}: {r.stderr}")
        return None if r.returncode else r.stdout

    def set_default(self, kind, name):
        self.pactl(f"set-default-{kind}", name)
        self.await_default(kind, name)

    def await_default(self, kind, name):
        # PipeWire's session manager makes a default a moment after it is asked for, later on a
        # loaded machine; the tools can follow only from then.
        self._until(lambda: f"Default {kind.title()}: {name}\n" in self.pactl("info"),
                    f"the default {kind} did not become {name}")

    def load(self, *args):
        return int(self.pactl("load-module", *args))

    def index(self, name, kind="sources"):
        return next(int(line.split()[0]) for line in self.pactl("list", kind, "short").splitlines()
                    if line.split()[1] == name)

    def _load_device(self, kind, name, rate, channels, module, *args):
        # PipeWire answers a load before the device is set up: it is ready once
        # it shows the format asked for.
        module = self.load(module, *args, "format=float32le", f"rate={rate}",
                           f"channels={channels}")
        spec = f"{name} float32le {channels}ch {rate}Hz"
        self._until(lambda: spec in (" ".join(line.split("\t")[1:4:2]) for line in self.pactl(
            "list", kind, "short").splitlines()), f"{name} did not appear as {spec}")
        return module

    def add_sink(self, name, rate=48000, channels=2, description=None, default=False):
        # A null sink; an idle one renders in 2 s blocks, so a listener asking
        # for a short latency in the sink's own format keeps it in short blocks.
        module = self._load_device("sinks", name, rate, channels, "module-null-sink",
                                   f"sink_name={name}", "norewinds=1", "sink_properties=\"device."
                                   f"description='{description or name}'\"")
        self.keep(name + ".monitor", rate, channels)
        default and self.pactl("set-default-sink", name)
        return module

    def keep(self, source, rate, channels):
        keeper = self.spawn(["parec", "--raw", f"--latency-msec={self.keeper_msec}",
                             "--format=float32le", f"--rate={rate}", f"--channels={channels}",
                             f"--device={source}"], stdout=DEVNULL, stderr=DEVNULL)
        self._until(lambda: f'application.process.id = "{keeper.pid}"' in self.pactl(
            "list", "source-outputs"), f"no listener on {source}")

    def add_mic(self, name, rate, channels, description, default=False):
        # A null sink NAME_feed and a source NAME on its monitor: both modules.
        sink = self.add_sink(name + "_feed", rate, channels, "Feed of " + name)
        source = self._load_device("sources", name, rate, channels, "module-remap-source",
                                   f"source_name={name}", f"master={name}_feed.monitor",
                                   f"source_properties=\"device.description='{description}'\"")
        default and self.pactl("set-default-source", name)
        return sink, source

    def play(self, sink, rate, channels, samples=None, stdin=PIPE):
        # Plays an array of floats into `sink` (None: the default) after 0.4 s of
        # silence, or what comes on `stdin`. A null sink mixes a new stream in by
        # rewinding over audio its monitor has passed on: the silence takes that.
        if samples is not None:
            stdin = open(f"{self.dir}/play-{len(self.helpers)}", "w+b")
            stdin.write(bytes(int(rate * channels * 0.4) * 4) + samples.tobytes())
            stdin.seek(0)
        # PipeWire's pulse server keeps a player's buffer short: on a busy machine a
        # player it starves leaves a hole a cycle long, so there it asks for more.
        player = self.spawn(["pacat", "--raw", "--format=float32le", f"--rate={rate}",
                             f"--channels={channels}"] + [f"--device={sink}"] * bool(sink) +
                            ["--latency-msec=400"] * (self.kind == "pipewire"),
                            stdin=stdin, stdout=DEVNULL, stderr=DEVNULL)
        samples is None or stdin.close()
        return player

    def play_tone(self, sink, rate, channels, frequency, seconds, volume=0.5):
        synth = self.spawn(["sox", *map(str, ("-q", "-n", "-traw", f"-r{rate}", "-efloat", "-b32",
                                              f"-c{channels}", "-", "synth", seconds, "sine",
                                              frequency, "vol", volume))], stderr=DEVNULL)
        player = self.play(sink, rate, channels, stdin=synth.p.stdout)
        synth.p.stdout.close()
        return player

    def kill(self):
        # A killed process's connections close only after its memory is torn down, which on a
        # busy machine can take over a second: this returns once the server is gone.
        os.kill(self.pid, signal.SIGKILL)
        self.servers[-1].status(10)

    def close(self):
        for proc in self.helpers[::-1] + self.servers[::-1]:
            proc.stop(signal.SIGKILL if proc in self.helpers else signal.SIGTERM)
        self.watchdog.communicate(b"done\n")
        shutil.rmtree(self.dir, ignore_errors=True)


class PipeDevices(threading.Thread):
    # A pipe sink `out` read at 48 kHz x (1 + ppm) and a pipe source `in` (stereo float, so
    # that a stopped client's queue overflows) written at 48 kHz x (1 - ppm) of CLOCK_MONOTONIC,
    # both the defaults, as sound cards on crystals of their own would. Both get a click (one
    # full-scale frame) at each of `clicks` (seconds from the start). The true times: `heard`
    # holds when each click fell due on the sink's clock (late or on PipeWire: when taken),
    # `recorded` when it fell due on the source's clock (a microphone records a frame then and
    # hands it over later, here with the next write); `shaky` those that came within 50 ms of
    # the server stalling (the source's pipe full, the sink's run dry or late) or with a step of
    # this thread's come late, when a pipe device has no true time to speak of, `late` how far
    # the source's writes fell behind its clock at worst, and `stalls` when, on PipeWire, they
    # backed up by a tenth of a second within half a second: its graph stopped.
    # PipeWire's pipe devices run on its graph's clock in bursts of a cycle: they take no skew,
    # and pipes of a few cycles keep a burst from holding up the writer.
    def __init__(self, server, clicks, ppm=400e-6):
        super().__init__(daemon=True)
        # Finer is truer: the sink's reader leaves up to a step of due audio in the pipe, which
        # the server counts as still to play, and at 2 ms it often finds the pipe short.
        # PipeWire's devices, moving a graph cycle at a time, gain nothing from it.
        self.paced = server.kind == "pulseaudio"  # the sink runs at its reader's pace
        self.step = 0.001 if self.paced else 0.002
        self.ppm, self.heard, self.recorded, self.shaky, self.late = ppm, [], [], set(), 0.0
        self.stalls = []
        self.ppm *= self.paced
        self.clicks, d = [int(t * 48000) for t in clicks], server.dir
        # The server makes each pipe and runs the sink on its reader's pace.
        server.load("module-pipe-sink", f"file={d}/out", "sink_name=out", "format=float32le",
                    "rate=48000", "channels=1", "use_system_clock_for_timing=no")
        server.load("module-pipe-source", f"file={d}/in", "source_name=in", "format=float32le",
                    "rate=48000", "channels=2")
        server._until(lambda: os.path.exists(f"{d}/out") and os.path.exists(f"{d}/in"), "no pipes")
        self.out, self.into = (os.open(f"{d}/{n}", m | os.O_NONBLOCK) for n, m in (
            ("out", os.O_RDONLY), ("in", os.O_WRONLY)))
        for fd in self.out, self.into:
            fcntl.fcntl(fd, 1031, 65536 if server.kind == "pipewire" else 4096)  # F_SETPIPE_SZ
        server.keep("in", 48000, 2)
        server.pactl("set-default-sink", "out")
        server.pactl("set-default-source", "in")
        track = array.array("f", bytes(4 * (self.clicks[-1] + 48000)))
        for c in self.clicks:
            track[c] = 1.0
        server.play("out", 48000, 1, track)
        self.running = True
        self.start()

    def stop(self):  # returns when: what the devices know is final, up to then
        self.running = False
        self.join()
        return time.monotonic()

    def run(self):
        start, pending, carry, waiting = time.monotonic(), b"", b"", []
        backlogs = collections.deque()  # (when, bytes not yet taken) over the last half second
        now = start
        rate = 48000 * (1 - self.ppm)
        written = sent = read = full = dry = 0
        # A sink that runs 1.5 ms short has its clicks heard late; PipeWire's, in bursts, often do.
        short = 288 if self.paced else 960
        marks = iter(self.clicks)
        mark = next(marks)
        # A sound card keeps time whatever else the machine does: this thread, when allowed,
        # runs before every ordinary process (it sleeps but for a few percent of a core).
        with contextlib.suppress(PermissionError):
            os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(1))
        while self.running:
            time.sleep(self.step)
            last, now = now, time.monotonic()
            due = int((now - start) * rate)
            block = array.array("f", bytes(8 * (due - written)))
            while mark < due:
                block[2 * (mark - written)] = block[2 * (mark - written) + 1] = 1.0
                waiting.append((sent + len(pending) + 8 * (mark - written), start + mark / rate))
                mark = next(marks, 1 << 62)
            pending, written = pending + block.tobytes(), due
            with contextlib.suppress(BlockingIOError):
                n = os.write(self.into, pending)
                sent, pending = sent + n, pending[n:]
            full = now if pending else full
            backlogs.append((now, len(pending)))
            while backlogs[0][0] < now - 0.5:
                backlogs.popleft()
            if not self.paced and len(pending) - min(b for _, b in backlogs) > 0.1 * 8 * rate:
                self.stalls.append(now)
            while waiting and waiting[0][0] < sent:
                self.recorded.append(due_at := waiting.pop(0)[1])
                self.late = max(self.late, now - due_at)
                (now - full < 0.05 or now - due_at > 0.004) and self.shaky.add(due_at)
            want = int((now - start) * 48000 * (1 + self.ppm)) * 4 - read
            got = b""
            with contextlib.suppress(BlockingIOError):
                got = os.read(self.out, max(want, 0))
            first, data = (read - len(carry)) // 4, carry + got
            whole = len(data) // 4 * 4
            carry, samples = data[whole:], array.array("f", data[:whole])
            # A frame taken on time is heard when it falls due on the clock that paces the sink;
            # one that came late (a stalled server), or on PipeWire, whose sink runs on its
            # graph's clock instead, when it is taken.
            due = [start + (first + i) / (48000 * (1 + self.ppm)) for i, v in enumerate(samples)
                   if v > 0.5]
            heard = [at if self.paced and now - at <= 2 * self.step else now for at in due]
            self.heard += heard
            read, dry = read + len(got), now if len(got) < want - short else dry
            # PipeWire's sink runs dry between its bursts as a matter of course. A paced sink
            # whose click came late ran short, if by less than `short`: put 2 ms late, it read
            # as the stream's error (seen: -2.0 to -2.7 ms, about once in 150 s).
            if self.paced and (now - dry < 0.05 or heard != due) or now - last > 2 * self.step:
                self.shaky.update(heard)


def main(argv):
    with contextlib.closing(Server()) as server:
        server.add_sink("speakers", 48000, 2, "Speakers", default=True)
        server.add_mic("mic", 48000, 2, "Test Microphone", default=True)
        server.play_tone("mic_feed", 48000, 2, 440, 86400)
        server.play_tone("speakers", 48000, 2, 660, 86400)
        return subprocess.run(argv[argv[:1] == ["--"]:], env=server.env).returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
