#include "tests/e2e/pulse_test_server.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>
#include <string_view>
#include <thread>

namespace pulsetest {
namespace {

// Sets `error` and answers as a failed step does.
std::nullopt_t failWith(std::string& error, const std::string& text) {
  error = text;
  return std::nullopt;
}

std::optional<uint32_t> loadModule(const PulseTestServer& server,
                                   const std::vector<std::string>& args, std::string& error) {
  std::vector<std::string> command = {"load-module"};
  command.insert(command.end(), args.begin(), args.end());
  std::string output;
  if (server.pactl(command, &output) != 0)
    return failWith(error, "pactl load-module " + args.front() + " failed");
  try {
    return static_cast<uint32_t>(std::stoul(output));
  } catch (...) {
    error = "pactl load-module printed no module index: " + output;
    return std::nullopt;
  }
}

}  // namespace

std::unique_ptr<PulseTestServer> PulseTestServer::start(std::string& error) {
  const char* value = getenv("CAPTURE_TEST_SERVER");
  const std::string kind = value == nullptr || *value == '\0' ? "pulseaudio" : value;
  if (kind != "pulseaudio" && kind != "pipewire") {
    error = "CAPTURE_TEST_SERVER is \"" + kind + "\"; it must be pulseaudio or pipewire";
    return nullptr;
  }
  std::unique_ptr<PulseTestServer> server(new PulseTestServer);
  server->pipeWire_ = kind == "pipewire";
  char pattern[] = "/tmp/pulse-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr)
    return failWith(error, "cannot make a temporary folder"), nullptr;
  server->dir_ = pattern;
  const std::string& dir = server->dir_;
  const std::string runtime = dir + "/run";
  const std::string home = dir + "/home";
  mkdir(runtime.c_str(), 0700);
  mkdir(home.c_str(), 0700);
  // Both kinds of server listen here.
  const std::string socket = runtime + "/pulse/native";
  server->address_ = "unix:" + socket;

  const std::string clientConfig = dir + "/client.conf";
  if (!writeFile(clientConfig, "autospawn = no\n"))
    return failWith(error, "cannot write the client configuration"), nullptr;

  // Whatever the test runner's environment points at (a desktop server, a
  // session bus, a cookie), the private server and its clients see only the
  // temporary folder.
  const std::string noBus = "unix:path=" + dir + "/no-bus";
  server->environment_ = {
      {"PULSE_SERVER", server->address_},
      {"XDG_RUNTIME_DIR", runtime},
      {"HOME", home},
      {"PULSE_CLIENTCONFIG", clientConfig},
      {"PULSE_SINK", ""},
      {"PULSE_SOURCE", ""},
      {"PULSE_COOKIE", ""},
      {"PULSE_RUNTIME_PATH", ""},
      {"PULSE_STATE_PATH", ""},
      {"DBUS_SESSION_BUS_ADDRESS", noBus},
      {"DBUS_SYSTEM_BUS_ADDRESS", noBus},
      {"DISPLAY", ""},
  };

  if (server->pipeWire_) {
    if (!startPipeWire(dir, server->environment_, server->processes_, error)) return nullptr;
  } else if (!server->startPulseAudio(error)) {
    return nullptr;
  }
  auto& processes = server->processes_;
  if (!pollUntil([&] { return anyEnded(processes) || server->pactl({"info"}) == 0; }, 200, 50ms) ||
      anyEnded(processes))
    return failWith(error, "the private " + kind +
                               " server did not answer within 10 s (KEEP_PULSE_TEST_DIR=1 keeps " +
                               dir + ")\n" + describeProcesses(server->processes_)),
           nullptr;
  if (server->pipeWire_ && !server->waitForSessionManager(error)) return nullptr;
  return server;
}

bool PulseTestServer::startPulseAudio(std::string& error) {
  const std::string script = dir_ + "/server.pa";
  if (!writeFile(script, "load-module module-native-protocol-unix auth-anonymous=1 socket=" +
                             address_.substr(std::string_view("unix:").size()) + "\n"))
    return failWith(error, "cannot write the server's configuration"), false;
  ChildProcess::Options options{environment_, false};
  options.environment["PULSE_SERVER"] = "";
  // Running as root draws a warning from the server and nothing else; it then
  // behaves like a per-user server bound to our socket.
  auto process = ChildProcess::start(
      {"pulseaudio", "-n", "-F", script, "--daemonize=no", "--exit-idle-time=-1",
       "--use-pid-file=no", "--realtime=no", "--high-priority=no", "--system=no",
       "--log-target=file:" + dir_ + "/server.log"},
      options);
  if (!process) return failWith(error, "cannot start pulseaudio (is it installed?)"), false;
  processes_.push_back({"pulseaudio (log: " + dir_ + "/server.log)", std::move(process)});
  return true;
}

PulseTestServer::~PulseTestServer() {
  stopProcesses(processes_);
  if (!dir_.empty() && getenv("KEEP_PULSE_TEST_DIR") == nullptr) {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
}

// WirePlumber links streams to devices and picks the default ones, so until it
// runs a test's first stream could stay unlinked. It has started once it makes
// a new sink the default; the probe sink goes again before any test sees it.
bool PulseTestServer::waitForSessionManager(std::string& error) {
  const std::string probe = "session_manager_probe";
  const auto module = loadModule(*this, {"module-null-sink", "sink_name=" + probe}, error);
  auto isDefault = [&] {
    std::string info;
    return pactl({"info"}, &info) == 0 &&
           info.find("Default Sink: " + probe + "\n") != std::string::npos;
  };
  if (module && pollUntil([&] { return anyEnded(processes_) || isDefault(); }, 250) &&
      isDefault() && unloadModule(*module) &&
      pollUntil([&] { return !listed("sinks", probe); }, 250)) {
    return true;
  }
  error +=
      "\nwireplumber did not make a new sink the default, or it did not go again (waited "
      "up to 5 s each)\n" +
      describeProcesses(processes_);
  return false;
}

double PulseTestServer::stereoToMonoGain() const { return pipeWire_ ? std::numbers::sqrt2 : 1.0; }

int PulseTestServer::pactl(const std::vector<std::string>& args, std::string* output) const {
  std::vector<std::string> command = {"pactl"};
  command.insert(command.end(), args.begin(), args.end());
  return runCommand(command, environment_, output);
}

std::optional<uint32_t> PulseTestServer::addSink(const std::string& name, uint32_t rate,
                                                 uint32_t channels, const std::string& description,
                                                 bool makeDefault, std::string& error) {
  auto module =
      loadModule(*this,
                 {"module-null-sink", "sink_name=" + name, "format=float32le",
                  "rate=" + std::to_string(rate), "channels=" + std::to_string(channels),
                  "norewinds=1", "sink_properties=\"device.description='" + description + "'\""},
                 error);
  if (!module) return std::nullopt;
  if (!waitForDevice("sinks", name, rate, channels))
    return failWith(error, "the sink " + name + " did not appear in the format asked for");
  // An idle null sink works in two-second blocks, so a stream that connects
  // later would wait that long for its first audio. A listener asking for a
  // short latency from the start keeps the sink in short blocks for good. It
  // asks for the sink's own format: PipeWire runs the sink at the rate its
  // first listener asks for, and any other rate would mean resampling.
  const ChildProcess::Options options{environment_, false};
  auto keeper = ChildProcess::start(
      {"parec", "--raw", "--latency-msec=10", "--format=float32le",
       "--rate=" + std::to_string(rate), "--channels=" + std::to_string(channels),
       "--device=" + name + ".monitor"},
      options);
  if (!keeper) return failWith(error, "cannot start parec");
  const pid_t keeperPid = keeper->pid();
  keepers_.push_back(std::move(keeper));
  // Counting source outputs would not do: PipeWire's remap sources read their
  // master through source outputs of their own.
  const std::string property = "application.process.id = \"" + std::to_string(keeperPid) + "\"";
  std::string outputs;
  if (!pollUntil(
          [&] {
            return pactl({"list", "source-outputs"}, &outputs) == 0 &&
                   outputs.find(property) != std::string::npos;
          },
          100))
    return failWith(error, "the listener on " + name + ".monitor did not connect");
  if (makeDefault && pactl({"set-default-sink", name}) != 0)
    return failWith(error, "cannot make " + name + " the default sink");
  return module;
}

std::optional<VirtualMicrophone> PulseTestServer::addMicrophone(const std::string& name,
                                                                uint32_t rate, uint32_t channels,
                                                                const std::string& description,
                                                                std::string& error) {
  VirtualMicrophone mic;
  mic.sinkName = name + "_feed";
  mic.sourceName = name;
  auto sink = addSink(mic.sinkName, rate, channels, "Feed of " + name, false, error);
  if (!sink) return std::nullopt;
  // PulseAudio gives a remap source its master's format, PipeWire its own
  // default (two channels at the graph's rate), so the format is spelled out.
  auto source = loadModule(
      *this,
      {"module-remap-source", "source_name=" + name, "master=" + mic.sinkName + ".monitor",
       "format=float32le", "rate=" + std::to_string(rate), "channels=" + std::to_string(channels),
       "source_properties=\"device.description='" + description + "'\""},
      error);
  if (!source) return std::nullopt;
  if (!waitForDevice("sources", name, rate, channels))
    return failWith(error, "the source " + name + " did not appear in the format asked for");
  mic.sinkModule = *sink;
  mic.sourceModule = *source;
  return mic;
}

// PipeWire's pulse server answers a module load before the new device is fully
// set up: on a busy machine it has been seen to report a new 16 kHz source at
// 48 kHz, and a stream connected to it then received nothing. A device is
// ready once it shows the format it was made with.
bool PulseTestServer::waitForDevice(const std::string& list, const std::string& name, uint32_t rate,
                                    uint32_t channels) const {
  const std::string spec =
      "float32le " + std::to_string(channels) + "ch " + std::to_string(rate) + "Hz";
  return pollUntil(
      [&] {
        const auto fields = listed(list, name);
        return fields && fields->size() > 3 && (*fields)[3] == spec;
      },
      250);
}

std::optional<std::vector<std::string>> PulseTestServer::listed(const std::string& list,
                                                                const std::string& name) const {
  std::string output;
  if (pactl({"list", list, "short"}, &output) != 0) return std::nullopt;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream text(line);
    std::vector<std::string> fields;
    for (std::string field; std::getline(text, field, '\t');) fields.push_back(field);
    if (fields.size() > 1 && fields[1] == name) return fields;
  }
  return std::nullopt;
}

std::optional<uint32_t> PulseTestServer::sourceIndex(const std::string& name) const {
  const auto fields = listed("sources", name);
  if (!fields) return std::nullopt;
  return static_cast<uint32_t>(std::stoul(fields->front()));
}

std::unique_ptr<ChildProcess> PulseTestServer::play(const std::string& sinkName, uint32_t rate,
                                                    uint32_t channels,
                                                    const std::vector<float>& samples) {
  const std::string file = dir_ + "/play-" + std::to_string(played_++) + ".raw";
  {
    std::ofstream out(file, std::ios::binary);
    // A null sink mixes a new stream in by rewinding over audio its monitor has
    // already passed on, so the first moments of what is played never reach the
    // monitor. Leading silence takes that loss instead of the samples.
    const std::vector<float> leadIn(static_cast<std::size_t>(rate) * channels * 4 / 10, 0.0f);
    out.write(reinterpret_cast<const char*>(leadIn.data()),
              static_cast<std::streamsize>(leadIn.size() * sizeof(float)));
    out.write(reinterpret_cast<const char*>(samples.data()),
              static_cast<std::streamsize>(samples.size() * sizeof(float)));
  }
  // An empty device name leaves the choice to the server: its default sink.
  std::vector<std::string> command = {"pacat",
                                      "--playback",
                                      "--raw",
                                      "--format=float32le",
                                      "--rate=" + std::to_string(rate),
                                      "--channels=" + std::to_string(channels),
                                      "--device=" + sinkName,
                                      file};
  if (sinkName.empty()) command.erase(command.end() - 2);
  const ChildProcess::Options options{environment_, false};
  return ChildProcess::start(command, options);
}

void PulseTestServer::kill(int signo) { processes_.back().process->sendSignal(signo); }

}  // namespace pulsetest
