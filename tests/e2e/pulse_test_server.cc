#include "tests/e2e/pulse_test_server.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
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

std::unique_ptr<PulseTestServer> PulseTestServer::start(std::string& error) {
  std::unique_ptr<PulseTestServer> server(new PulseTestServer);
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
  const std::string socket = runtime + "/pulse/native";
  server->address_ = "unix:" + socket;

  const std::string script = dir + "/server.pa";
  const std::string clientConfig = dir + "/client.conf";
  if (!writeFile(script, "load-module module-native-protocol-unix auth-anonymous=1 socket=" +
                             socket + "\n") ||
      !writeFile(clientConfig, "autospawn = no\n")) {
    error = "cannot write the server's configuration";
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

  ChildProcess::Options options;
  options.environment = server->environment_;
  options.environment["PULSE_SERVER"] = "";
  options.captureStdout = false;
  // Running as root draws a warning from the server and nothing else; it then
  // behaves like a per-user server bound to our socket.
  server->server_ = ChildProcess::start(
      {"pulseaudio", "-n", "-F", script, "--daemonize=no", "--exit-idle-time=-1",
       "--use-pid-file=no", "--realtime=no", "--high-priority=no", "--system=no",
       "--log-target=file:" + dir + "/server.log"},
      options);
  if (!server->server_) {
    error = "cannot start pulseaudio (is it installed?)";
    return nullptr;
  }
  if (!server->waitUntilAnswering()) {
    error = "the private audio server did not answer; its log is in " + dir + "/server.log";
    return nullptr;
  }
  return server;
}

PulseTestServer::~PulseTestServer() {
  if (server_) {
    server_->sendSignal(SIGTERM);
    if (!server_->waitForExit(std::chrono::seconds(3))) server_->sendSignal(SIGKILL);
    server_->waitForExit(std::chrono::seconds(3));
    server_.reset();
  }
  if (!dir_.empty() && getenv("KEEP_PULSE_TEST_DIR") == nullptr) {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
}

bool PulseTestServer::waitUntilAnswering() {
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (server_->waitForExit(std::chrono::milliseconds(0))) return false;
    if (pactl({"info"}) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
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
  // An idle null sink works in two-second blocks, so a stream that connects
  // later would wait that long for its first audio. A listener asking for a
  // short latency from the start keeps the sink in short blocks for good.
  ChildProcess::Options options = childOptions();
  options.captureStdout = false;
  auto keeper = ChildProcess::start(
      {"parec", "--raw", "--latency-msec=10", "--device=" + name + ".monitor"}, options);
  if (!keeper) {
    error = "cannot start parec";
    return std::nullopt;
  }
  keepers_.push_back(std::move(keeper));
  if (!waitForSourceOutputs(keepers_.size())) {
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
  auto source = loadModule(
      *this,
      {"module-remap-source", "source_name=" + name, "master=" + mic.sinkName + ".monitor",
       "source_properties=\"device.description='" + description + "'\""},
      error);
  if (!source) return std::nullopt;
  mic.sinkModule = *sink;
  mic.sourceModule = *source;
  return mic;
}

bool PulseTestServer::waitForSourceOutputs(std::size_t count) const {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string output;
    if (pactl({"list", "source-outputs", "short"}, &output) == 0 &&
        static_cast<std::size_t>(std::count(output.begin(), output.end(), '\n')) >= count) {
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

void PulseTestServer::kill(int signo) { server_->sendSignal(signo); }

}  // namespace pulsetest
