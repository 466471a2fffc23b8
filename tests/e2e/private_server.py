#!/usr/bin/env python3
"""A private audio server with virtual devices, for the tests and bench/.

    python3 tests/e2e/private_server.py [--] COMMAND...

runs COMMAND against one, with a default microphone playing 440 Hz and a
default output playing 660 Hz. CAPTURE_TEST_SERVER=pipewire picks PipeWire with
its pulse server instead of PulseAudio.
"""
import os
import select
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
from subprocess import DEVNULL, PIPE

# Every process started here dies with the one that started it, and is in the
# watchdog's process group: when the watchdog's pipe closes without "done" (the
# test was killed outright), it kills the group and removes the folder.
PDEATH = ["setpriv", "--pdeathsig", "KILL", "--"]
WATCHDOG = """read p; [ "$p" = done ] && exit
kill -9 $(pgrep -g $$ | grep -vx $$) 2>/dev/null; sleep 0.2; rm -rf "$0"
"""

# WirePlumber without a session bus, hardware monitors or device reservation, so
# a private server never opens a card a desktop's server is using. The graph may
# run at the sinks' own rates, so float audio goes through bit for bit. The pulse
# server's stock configuration, less the "Dummy Output" it makes up without sinks.
PIPEWIRE_FILES = {
    "wireplumber/main.lua.d/60-private.lua": """alsa_monitor.properties["alsa.reserve"] = false
default_access.properties["enable-flatpak-portal"] = false
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
""",
    "wireplumber/bluetooth.lua.d/60-private.lua": "bluez_monitor.enabled = false\n",
    "pipewire/pipewire.conf.d/60-private.conf": """context.properties = {
    default.clock.allowed-rates = [ 16000 44100 48000 192000 ]
    default.clock.min-quantum = 1024
}
""",
    "pipewire/pipewire-pulse.conf": """context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.*       = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-rt args = { nice.level = -11 } flags = [ ifexists nofail ] }
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-protocol-pulse }
]
pulse.properties = { server.address = [ "unix:native" ] }
""",
}


def until(done, seconds=5.0, step=0.02):
    end = time.monotonic() + seconds
    while not done():
        if time.monotonic() > end:
            return False
        time.sleep(step)
    return True


class Proc:
    """A child with its standard output read on demand and its standard error
    collected in the background."""

    def __init__(self, argv, env, stdin=DEVNULL, stdout=PIPE, stderr=PIPE, **kw):
        self.p = subprocess.Popen(PDEATH + argv, env=env, stdin=stdin, stdout=stdout,
                                  stderr=stderr, **kw)
        self.pid, self._err = self.p.pid, b""
        self._collector = threading.Thread(target=self._collect, daemon=True)
        if stderr == PIPE:
            self._collector.start()

    def _collect(self):
        while chunk := os.read(self.p.stderr.fileno(), 65536):
            self._err += chunk

    @property
    def err(self):
        return self._err.decode(errors="replace")

    def wait_err(self, text, seconds=5.0):
        return until(lambda: text in self.err, seconds)

    def read(self, count=1 << 40, seconds=5.0):
        """Up to `count` bytes of standard output, within `seconds`."""
        data, end, fd = bytearray(), time.monotonic() + seconds, self.p.stdout.fileno()
        while len(data) < count and select.select([fd], [], [], max(0, end - time.monotonic()))[0]:
            chunk = os.read(fd, min(count - len(data), 1 << 20))
            if not chunk:
                break
            data += chunk
        return bytes(data)

    def status(self, seconds=3.0):
        """The exit status (-N for signal N), or None while it runs."""
        try:
            self.p.wait(seconds)
        except subprocess.TimeoutExpired:
            return None
        if self._collector.is_alive():
            self._collector.join(1)  # the last lines
        return self.p.returncode

    def signal(self, signo):
        if self.p.poll() is None:
            self.p.send_signal(signo)

    def stop(self, signo=None):
        self.signal(signo or signal.SIGKILL)
        self.signal(signal.SIGCONT)
        if self.status(3) is None:
            self.p.kill()
            self.p.wait()
        for pipe in (self.p.stdin, self.p.stdout, self.p.stderr):
            if pipe:
                pipe.close()


class Server:
    def __init__(self, kind=None, keeper_msec=10):
        self.kind = kind or os.environ.get("CAPTURE_TEST_SERVER") or "pulseaudio"
        if self.kind not in ("pulseaudio", "pipewire"):
            raise ValueError("CAPTURE_TEST_SERVER must be pulseaudio or pipewire")
        self.keeper_msec, self.servers, self.helpers = keeper_msec, [], []
        self.dir = tempfile.mkdtemp(prefix="capture-test-")
        self.watchdog = subprocess.Popen(["sh", "-c", WATCHDOG, self.dir], stdin=PIPE,
                                         process_group=0)
        run = os.path.join(self.dir, "run")
        os.makedirs(run + "/pulse", 0o700)
        os.mkdir(self.dir + "/home")
        with open(self.dir + "/client.conf", "w") as f:
            f.write("autospawn = no\n")
        # Whatever the caller's environment points at (a desktop server, a
        # session bus, a cookie), the server and its clients see only this folder.
        no_bus = f"unix:path={self.dir}/no-bus"
        self.env = {k: v for k, v in os.environ.items() if k != "DISPLAY" and not k.startswith(
            ("PULSE_", "PIPEWIRE_", "WIREPLUMBER_", "DBUS_"))}
        self.env.update(PULSE_SERVER=f"unix:{run}/pulse/native", XDG_RUNTIME_DIR=run,
                        HOME=self.dir + "/home", PULSE_CLIENTCONFIG=self.dir + "/client.conf",
                        DBUS_SESSION_BUS_ADDRESS=no_bus, DBUS_SYSTEM_BUS_ADDRESS=no_bus,
                        XDG_CONFIG_HOME=self.dir + "/config", XDG_STATE_HOME=self.dir + "/state",
                        XDG_DATA_HOME=self.dir + "/data", PIPEWIRE_RUNTIME_DIR=run)
        try:
            self._start(run)
        except BaseException:
            self.close()
            raise

    def _start(self, run):
        if self.kind == "pulseaudio":
            with open(self.dir + "/server.pa", "w") as f:
                f.write("load-module module-native-protocol-unix auth-anonymous=1 "
                        f"socket={run}/pulse/native\n")
            self._serve("pulseaudio", "-n", "-F", self.dir + "/server.pa", "--daemonize=no",
                        "--exit-idle-time=-1", "--use-pid-file=no", "--realtime=no",
                        "--high-priority=no", "--system=no")
        else:
            for path, text in PIPEWIRE_FILES.items():
                os.makedirs(os.path.dirname(f"{self.dir}/config/{path}"), exist_ok=True)
                with open(f"{self.dir}/config/{path}", "w") as f:
                    f.write(text)
            self._serve("pipewire")
            self._until(lambda: os.path.exists(run + "/pipewire-0") and stat.S_ISSOCK(
                os.stat(run + "/pipewire-0").st_mode), "pipewire did not open its socket")
            self._serve("wireplumber")
            self._serve("pipewire-pulse")
        self._until(lambda: self.pactl("info", check=False) is not None, "no answer")
        if self.kind == "pipewire":
            # WirePlumber links streams and picks defaults: it runs once it makes
            # a new sink the default. The probe sink goes before any test sees it.
            probe = self.load("module-null-sink", "sink_name=session_probe")
            self._until(lambda: "Default Sink: session_probe\n" in self.pactl("info"),
                        "wireplumber did not pick a default sink")
            self.pactl("unload-module", probe)
            self._until(lambda: "session_probe" not in self.pactl("list", "sinks", "short"),
                        "the probe sink stayed")

    def _serve(self, *argv):
        env = dict(self.env, PULSE_SERVER="") if argv[0] == "pulseaudio" else self.env
        with open(f"{self.dir}/{argv[0]}.log", "w") as log:
            self.spawn(list(argv), env=env, into=self.servers, stdout=log, stderr=log)

    def _until(self, done, what, seconds=10.0):
        if not until(lambda: done() or any(s.p.poll() is not None for s in self.servers),
                     seconds) or not done():
            logs = "".join(f"--- {s.p.args[len(PDEATH)]}: {s.p.poll()}\n" + open(
                f"{self.dir}/{s.p.args[len(PDEATH)]}.log").read()[-2000:] for s in self.servers)
            raise RuntimeError(f"private {self.kind} server: {what}\n{logs}")

    @property
    def pid(self):
        """The process clients talk to."""
        return self.servers[-1].pid

    def spawn(self, argv, env=None, into=None, **kw):
        proc = Proc(argv, env or self.env, process_group=self.watchdog.pid, **kw)
        (self.helpers if into is None else into).append(proc)
        return proc

    def pactl(self, *args, check=True):
        r = subprocess.run(PDEATH + ["pactl", *map(str, args)], env=self.env, text=True,
                           capture_output=True, timeout=10)
        if r.returncode and check:
            raise RuntimeError(f"pactl {' '.join(map(str, args))}: {r.stderr}")
        return None if r.returncode else r.stdout

    def load(self, *args):
        return int(self.pactl("load-module", *args))

    def index(self, name, kind="sources"):
        """The server's index of a device, or None."""
        for fields in (line.split("\t") for line in self.pactl("list", kind, "short").splitlines()):
            if fields[1] == name:
                return int(fields[0])

    def _appears(self, kind, name, rate, channels):
        # PipeWire answers a load before the device is set up; it is ready once
        # it shows the format asked for.
        spec = [name, f"float32le {channels}ch {rate}Hz"]
        self._until(lambda: spec in ([l.split("\t")[1], l.split("\t")[3]] for l in self.pactl(
            "list", kind, "short").splitlines()), f"{name} did not appear as {spec[1]}")
    def add_sink(self, name, rate=48000, channels=2, description=None, default=False):
        """A float32le null sink; returns its module. A listener asking for a short
        latency keeps it in short blocks: an idle one renders in 2 s blocks. It
        asks for the sink's format, which PipeWire would otherwise convert."""
        module = self.load("module-null-sink", f"sink_name={name}", "format=float32le",
                           f"rate={rate}", f"channels={channels}", "norewinds=1",
                           f"sink_properties=\"device.description='{description or name}'\"")
        self._appears("sinks", name, rate, channels)
        keeper = self.spawn(["parec", "--raw", f"--latency-msec={self.keeper_msec}",
                             "--format=float32le", f"--rate={rate}", f"--channels={channels}",
                             f"--device={name}.monitor"], stdout=DEVNULL, stderr=DEVNULL)
        self._until(lambda: f'application.process.id = "{keeper.pid}"' in self.pactl(
            "list", "source-outputs"), f"no listener on {name}")
        if default:
            self.pactl("set-default-sink", name)
        return module

    def add_mic(self, name, rate, channels, description, default=False):
        """A null sink NAME_feed and a source NAME on its monitor; returns both modules."""
        sink = self.add_sink(name + "_feed", rate, channels, "Feed of " + name)
        source = self.load("module-remap-source", f"source_name={name}",
                           f"master={name}_feed.monitor", "format=float32le", f"rate={rate}",
                           f"channels={channels}",
                           f"source_properties=\"device.description='{description}'\"")
        self._appears("sources", name, rate, channels)
        if default:
            self.pactl("set-default-source", name)
        return sink, source

    def play(self, sink, rate, channels, samples=None, stdin=PIPE):
        """Plays float32le `samples` (an array of floats) into `sink` (None: the
        default) in real time after 0.4 s of silence, or else what comes on
        `stdin`. A null sink mixes a new stream in by rewinding over audio its
        monitor has passed on: the silence takes that loss."""
        if samples is not None:
            stdin = open(f"{self.dir}/play-{len(self.helpers)}.raw", "w+b")
            stdin.write(bytes(int(rate * channels * 0.4) * 4) + samples.tobytes())
            stdin.seek(0)
        player = self.spawn(["pacat", "--playback", "--raw", "--format=float32le",
                             f"--rate={rate}", f"--channels={channels}"] +
                            [f"--device={sink}"] * bool(sink), stdin=stdin, stdout=DEVNULL,
                            stderr=DEVNULL)
        if samples is not None:
            stdin.close()
        return player

    def play_tone(self, sink, rate, channels, frequency, seconds, volume=0.5):
        synth = self.spawn(["sox", *map(str, ["-q", "-n", "-t", "raw", "-r", rate, "-e",
                                              "floating-point", "-b", "32", "-c", channels, "-",
                                              "synth", seconds, "sine", frequency, "vol", volume])],
                           stderr=DEVNULL)
        player = self.play(sink, rate, channels, stdin=synth.p.stdout)
        synth.p.stdout.close()
        return player

    def signal(self, signo):
        os.kill(self.pid, signo)

    def close(self):
        for proc in self.helpers[::-1] + self.servers[::-1]:
            proc.stop(signal.SIGKILL if proc in self.helpers else signal.SIGTERM)
        self.watchdog.stdin.write(b"done\n")
        self.watchdog.stdin.close()
        self.watchdog.wait()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def main(argv):
    with Server() as server:
        server.add_sink("speakers", 48000, 2, "Speakers", default=True)
        server.add_mic("mic", 48000, 2, "Test Microphone", default=True)
        server.play_tone("mic_feed", 48000, 2, 440, 86400)
        server.play_tone("speakers", 48000, 2, 660, 86400)
        time.sleep(0.5)
        return subprocess.run(argv[argv[:1] == ["--"]:], env=server.env).returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
