"""A private PulseAudio server with virtual devices, for the benchmark scripts.

The server lives in a fresh temporary folder (its own XDG_RUNTIME_DIR, HOME and
socket); every client started through `env()` talks to it and to nothing else,
and it is stopped by its own PID. No sound hardware is needed and no audio
server this script did not start is touched.
"""

import os
import shutil
import signal
import subprocess
import tempfile
import time


class PrivatePulse:
    def __init__(self, keeper_msec=10):
        self.keeper_msec = keeper_msec
        self.dir = tempfile.mkdtemp(prefix="pulse-bench-")
        run = os.path.join(self.dir, "run")
        home = os.path.join(self.dir, "home")
        os.mkdir(run, 0o700)
        os.mkdir(home, 0o700)
        socket = os.path.join(run, "pulse", "native")
        with open(os.path.join(self.dir, "server.pa"), "w") as f:
            f.write(f"load-module module-native-protocol-unix auth-anonymous=1 socket={socket}\n")
        client_conf = os.path.join(self.dir, "client.conf")
        with open(client_conf, "w") as f:
            f.write("autospawn = no\n")
        no_bus = "unix:path=" + os.path.join(self.dir, "no-bus")
        self._env = dict(os.environ)
        for name in ("PULSE_SINK", "PULSE_SOURCE", "PULSE_COOKIE", "PULSE_RUNTIME_PATH",
                     "PULSE_STATE_PATH", "DISPLAY"):
            self._env.pop(name, None)
        self._env.update({
            "PULSE_SERVER": "unix:" + socket,
            "XDG_RUNTIME_DIR": run,
            "HOME": home,
            "PULSE_CLIENTCONFIG": client_conf,
            "DBUS_SESSION_BUS_ADDRESS": no_bus,
            "DBUS_SYSTEM_BUS_ADDRESS": no_bus,
        })
        server_env = dict(self._env)
        del server_env["PULSE_SERVER"]
        self.helpers = []  # players and keepers, stopped before the server
        self.server = subprocess.Popen(
            ["pulseaudio", "-n", "-F", os.path.join(self.dir, "server.pa"), "--daemonize=no",
             "--exit-idle-time=-1", "--use-pid-file=no", "--realtime=no", "--high-priority=no",
             "--system=no", "--log-target=file:" + os.path.join(self.dir, "server.log")],
            env=server_env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        for _ in range(200):
            if self.server.poll() is not None:
                break
            if self.pactl("info", check=False).returncode == 0:
                return
            time.sleep(0.05)
        self.close()
        raise RuntimeError("the private audio server did not answer")

    def env(self):
        return dict(self._env)

    def pactl(self, *args, check=True):
        return subprocess.run(["pactl", *args], env=self._env, check=check, capture_output=True,
                              text=True)

    def cpu_seconds(self):
        """The server's user + system CPU so far."""
        return process_cpu_seconds(self.server.pid)

    def add_sink(self, name, rate, channels, description, default=False):
        """A float32le null sink with a listener on its monitor asking for
        `keeper_msec` of latency, so it runs in blocks that short from the start
        (an idle one works in 2 s blocks). The source on the monitor then hands
        every recorder a message per block, whatever the recorder asked for."""
        self.pactl("load-module", "module-null-sink", f"sink_name={name}", "format=float32le",
                   f"rate={rate}", f"channels={channels}", "norewinds=1",
                   f"sink_properties=\"device.description='{description}'\"")
        before = self._source_outputs()
        self._spawn(["parec", "--raw", f"--latency-msec={self.keeper_msec}",
                     f"--device={name}.monitor"],
                    stdout=subprocess.DEVNULL)
        for _ in range(100):
            if self._source_outputs() > before:
                break
            time.sleep(0.02)
        if default:
            self.pactl("set-default-sink", name)

    def add_microphone(self, name, rate, channels, description, default=False):
        """A null sink `name`_feed and a source `name` on its monitor."""
        self.add_sink(name + "_feed", rate, channels, "Feed of " + name)
        self.pactl("load-module", "module-remap-source", f"source_name={name}",
                   f"master={name}_feed.monitor",
                   f"source_properties=\"device.description='{description}'\"")
        if default:
            self.pactl("set-default-source", name)
        return name + "_feed"

    def play(self, sink, rate, channels, stdin):
        """pacat playing float32le from `stdin` (a pipe or file) into `sink`."""
        return self._spawn(["pacat", "--playback", "--raw", "--format=float32le", f"--rate={rate}",
                            f"--channels={channels}", "--latency-msec=100", f"--device={sink}"],
                           stdin=stdin, stdout=subprocess.DEVNULL)

    def play_tone(self, sink, rate, channels, frequency, seconds):
        """A steady tone (sox synth into pacat) for `seconds`."""
        synth = subprocess.Popen(
            ["sox", "-q", "-n", "-t", "raw", "-r", str(rate), "-e", "floating-point", "-b", "32",
             "-c", str(channels), "-", "synth", str(seconds), "sine", str(frequency), "vol", "0.5"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.helpers.append(synth)
        player = self.play(sink, rate, channels, synth.stdout)
        synth.stdout.close()
        return player

    def _spawn(self, args, **kwargs):
        process = subprocess.Popen(args, env=self._env, stderr=subprocess.DEVNULL, **kwargs)
        self.helpers.append(process)
        return process

    def _source_outputs(self):
        out = self.pactl("list", "source-outputs", "short", check=False).stdout
        return len([line for line in out.splitlines() if line.strip()])

    def close(self):
        for process in reversed(self.helpers):
            if process.poll() is None:
                process.terminate()
        for process in self.helpers:
            try:
                process.wait(timeout=3)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        if self.server.poll() is None:
            self.server.send_signal(signal.SIGTERM)
            try:
                self.server.wait(timeout=3)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()
        if not os.environ.get("KEEP_PULSE_BENCH_DIR"):
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def process_cpu_seconds(pid):
    """utime + stime of one process (all its threads) from /proc."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_kib(pid, field="VmRSS"):
    """VmRSS (or VmHWM, the peak) of a running process in KiB, or None."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None
