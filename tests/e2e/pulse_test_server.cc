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

bool writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

// Module arguments carry the description in single quotes inside double quotes;
// a name with either quote or a backslash would need escaping the tests never need.
bool quotable(const std::string& text) { return text.find_first_of("'\"\\") == std::string::npos; }

std::optional<uint32_t> loadModule(const PulseTestServer& server,
                                   const std::vector<std::string>& args, std::string& error) {
  std::vector<std::string> command = {"load-module"};
  command.insert(command.end(), args.begin(), args.end());
  std::string output;
  if (server.pactl(command, &output) != 0) {
    error = "pactl load-module " + args.front() + " failed";
    return std::nullopt;
  }
  try {
    return static_cast<uint32_t>(std::stoul(output));
  } catch (...) {
    error = "pactl load-module printed no module index: " + output;
    return std::nullopt;
  }
}

}  // namespace

std::optional<ServerKind> serverKindFromEnvironment() {
  const char* value = getenv("CAPTURE_TEST_SERVER");
  const std::string_view name = value == nullptr ? "" : value;
  if (name.empty() || name == nameOf(ServerKind::kPulseAudio)) return ServerKind::kPulseAudio;
  if (name == nameOf(ServerKind::kPipeWire)) return ServerKind::kPipeWire;
  return std::nullopt;
}

const char* nameOf(ServerKind kind) {
  return kind == ServerKind::kPipeWire ? "pipewire" : "pulseaudio";
}

std::unique_ptr<PulseTestServer> PulseTestServer::start(std::string& error) {
  const auto kind = serverKindFromEnvironment();
  if (!kind) {
    error = std::string("CAPTURE_TEST_SERVER is \"") + getenv("CAPTURE_TEST_SERVER") +
            "\"; it must be pulseaudio or pipewire";
    return nullptr;
  }
  return start(*kind, error);
}

std::unique_ptr<PulseTestServer> PulseTestServer::start(ServerKind kind, std::string& error) {
  std::unique_ptr<PulseTestServer> server(new PulseTestServer);
  server->kind_ = kind;
  char pattern[] = "/tmp/pulse-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    error = "cannot make a temporary folder";
    return nullptr;
  }
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
  if (!writeFile(clientConfig, "autospawn = no\n")) {
    error = "cannot write the client configuration";
    return nullptr;
  }

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

  if (kind == ServerKind::kPipeWire) {
    if (!startPipeWire(dir, server->environment_, server->processes_, error)) return nullptr;
  } else if (!server->startPulseAudio(error)) {
    return nullptr;
  }
  if (!server->waitUntilAnswering()) {
    error = std::string("the private ") + nameOf(kind) +
            " server did not answer within 10 s (KEEP_PULSE_TEST_DIR=1 keeps " + dir + ")\n" +
            describeProcesses(server->processes_);
    return nullptr;
  }
  if (kind == ServerKind::kPipeWire && !server->waitForSessionManager(error)) return nullptr;
  return server;
}

bool PulseTestServer::startPulseAudio(std::string& error) {
  const std::string script = dir_ + "/server.pa";
  if (!writeFile(script, "load-module module-native-protocol-unix auth-anonymous=1 socket=" +
                             address_.substr(std::string_view("unix:").size()) + "\n")) {
    error = "cannot write the server's configuration";
    return false;
  }
  ChildProcess::Options options;
  options.environment = environment_;
  options.environment["PULSE_SERVER"] = "";
  options.captureStdout = false;
  // Running as root draws a warning from the server and nothing else; it then
  // behaves like a per-user server bound to our socket.
  auto process = ChildProcess::start(
      {"pulseaudio", "-n", "-F", script, "--daemonize=no", "--exit-idle-time=-1",
       "--use-pid-file=no", "--realtime=no", "--high-priority=no", "--system=no",
       "--log-target=file:" + dir_ + "/server.log"},
      options);
  if (!process) {
    error = "cannot start pulseaudio (is it installed?)";
    return false;
  }
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

bool PulseTestServer::waitUntilAnswering() {
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (anyEnded(processes_)) return false;
    if (pactl({"info"}) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// WirePlumber links streams to devices and picks the default ones, so until it
// runs a test's first stream could stay unlinked. It has started once it makes
// a new sink the default; the probe sink goes again before any test sees it.
bool PulseTestServer::waitForSessionManager(std::string& error) {
  const std::string probe = "session_manager_probe";
  auto module = loadModule(*this, {"module-null-sink", "sink_name=" + probe}, error);
  if (!module) return false;
  bool picked = false;
  for (int attempt = 0; attempt < 250 && !picked && !anyEnded(processes_); ++attempt) {
    picked = defaultSink() == probe;
    if (!picked) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!picked) {
    error = "wireplumber did not make a new sink the default (waited up to 5 s)\n" +
            describeProcesses(processes_);
    return false;
  }
  if (!unloadModule(*module)) {
    error = "cannot unload the probe sink";
    return false;
  }
  for (int attempt = 0; attempt < 250; ++attempt) {
    std::string sinks;
    if (pactl({"list", "sinks", "short"}, &sinks) == 0 && sinks.find(probe) == std::string::npos) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  error = "the probe sink did not go away";
  return false;
}

std::optional<std::string> PulseTestServer::defaultSink() const {
  std::string info;
  if (pactl({"info"}, &info) != 0) return std::nullopt;
  const std::string label = "Default Sink: ";
  const auto at = info.find(label);
  if (at == std::string::npos) return std::nullopt;
  const auto from = at + label.size();
  return info.substr(from, info.find('\n', from) - from);
}

double PulseTestServer::stereoToMonoGain() const {
  return kind_ == ServerKind::kPipeWire ? std::numbers::sqrt2 : 1.0;
}

std::vector<pid_t> PulseTestServer::pids() const {
  std::vector<pid_t> result;
  for (const auto& [name, process] : processes_) result.push_back(process->pid());
  return result;
}

ChildProcess::Options PulseTestServer::childOptions() const {
  ChildProcess::Options options;
  options.environment = environment_;
  return options;
}

int PulseTestServer::pactl(const std::vector<std::string>& args, std::string* output) const {
  std::vector<std::string> command = {"pactl"};
  command.insert(command.end(), args.begin(), args.end());
  return runCommand(command, environment_, output);
}

std::optional<uint32_t> PulseTestServer::addSink(const std::string& name, uint32_t rate,
                                                 uint32_t channels, const std::string& description,
                                                 bool makeDefault, std::string& error) {
  if (!quotable(description)) {
    error = "description needs quoting: " + description;
    return std::nullopt;
  }
  auto module =
      loadModule(*this,
                 {"module-null-sink", "sink_name=" + name, "format=float32le",
                  "rate=" + std::to_string(rate), "channels=" + std::to_string(channels),
                  "norewinds=1", "sink_properties=\"device.description='" + description + "'\""},
                 error);
  if (!module) return std::nullopt;
  if (!waitForDevice("sinks", name, rate, channels)) {
    error = "the sink " + name + " did not appear in the format asked for";
    return std::nullopt;
  }
  // An idle null sink works in two-second blocks, so a stream that connects
  // later would wait that long for its first audio. A listener asking for a
  // short latency from the start keeps the sink in short blocks for good. It
  // asks for the sink's own format: PipeWire runs the sink at the rate its
  // first listener asks for, and any other rate would mean resampling.
  ChildProcess::Options options = childOptions();
  options.captureStdout = false;
  auto keeper = ChildProcess::start(
      {"parec", "--raw", "--latency-msec=10", "--format=float32le",
       "--rate=" + std::to_string(rate), "--channels=" + std::to_string(channels),
       "--device=" + name + ".monitor"},
      options);
  if (!keeper) {
    error = "cannot start parec";
    return std::nullopt;
  }
  const pid_t keeperPid = keeper->pid();
  keepers_.push_back(std::move(keeper));
  if (!waitForSourceOutputOf(keeperPid)) {
    error = "the listener on " + name + ".monitor did not connect";
    return std::nullopt;
  }
  if (makeDefault && pactl({"set-default-sink", name}) != 0) {
    error = "cannot make " + name + " the default sink";
    return std::nullopt;
  }
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
  if (!quotable(description)) {
    error = "description needs quoting: " + description;
    return std::nullopt;
  }
  // PulseAudio gives a remap source its master's format, PipeWire its own
  // default (two channels at the graph's rate), so the format is spelled out.
  auto source = loadModule(
      *this,
      {"module-remap-source", "source_name=" + name, "master=" + mic.sinkName + ".monitor",
       "format=float32le", "rate=" + std::to_string(rate), "channels=" + std::to_string(channels),
       "source_properties=\"device.description='" + description + "'\""},
      error);
  if (!source) return std::nullopt;
  if (!waitForDevice("sources", name, rate, channels)) {
    error = "the source " + name + " did not appear in the format asked for";
    return std::nullopt;
  }
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
  for (int attempt = 0; attempt < 250; ++attempt) {
    std::string output;
    if (pactl({"list", list, "short"}, &output) == 0) {
      std::istringstream lines(output);
      std::string line;
      while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string index, deviceName, driver, deviceSpec;
        if (std::getline(fields, index, '\t') && std::getline(fields, deviceName, '\t') &&
            std::getline(fields, driver, '\t') && std::getline(fields, deviceSpec, '\t') &&
            deviceName == name && deviceSpec == spec) {
          return true;
        }
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// Counting source outputs would not do: PipeWire's remap sources read their
// master through source outputs of their own.
bool PulseTestServer::waitForSourceOutputOf(pid_t client) const {
  const std::string property = "application.process.id = \"" + std::to_string(client) + "\"";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string output;
    if (pactl({"list", "source-outputs"}, &output) == 0 &&
        output.find(property) != std::string::npos) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

bool PulseTestServer::unloadModule(uint32_t module) {
  return pactl({"unload-module", std::to_string(module)}) == 0;
}

bool PulseTestServer::setDefaultSource(const std::string& name) {
  return pactl({"set-default-source", name}) == 0;
}

std::optional<uint32_t> PulseTestServer::sourceIndex(const std::string& name) const {
  std::string output;
  if (pactl({"list", "sources", "short"}, &output) != 0) return std::nullopt;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string index, sourceName;
    if (std::getline(fields, index, '\t') && std::getline(fields, sourceName, '\t') &&
        sourceName == name) {
      return static_cast<uint32_t>(std::stoul(index));
    }
  }
  return std::nullopt;
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
  std::vector<std::string> command = {"pacat",
                                      "--playback",
                                      "--raw",
                                      "--format=float32le",
                                      "--rate=" + std::to_string(rate),
                                      "--channels=" + std::to_string(channels)};
  if (!sinkName.empty()) command.push_back("--device=" + sinkName);
  command.push_back(file);
  ChildProcess::Options options = childOptions();
  options.captureStdout = false;
  return ChildProcess::start(command, options);
}

void PulseTestServer::kill(int signo) { processes_.back().process->sendSignal(signo); }

}  // namespace pulsetest
