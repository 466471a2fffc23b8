#include "tests/e2e/pipewire_processes.h"

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace pulsetest {
namespace {

bool isSocket(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// Named to run after the stock *-config.lua files and before 90-enable-all.lua,
// which acts on what they set. Without a session bus neither device
// reservation nor the portal can work; the hardware monitors are off so that a
// private server never opens a sound card or camera that a desktop session's
// own server is using.
constexpr char kMainOverride[] = R"(alsa_monitor.properties["alsa.reserve"] = false
default_access.properties["enable-flatpak-portal"] = false
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
)";
constexpr char kBluetoothOverride[] = "bluez_monitor.enabled = false\n";

// The graph may run at the rate its streams ask for (here always the sink's
// own) instead of resampling everything to 48 kHz, so float audio goes through
// bit for bit, as through a PulseAudio null sink. Cycles of at least 1024
// frames at 48 kHz, as PipeWire itself uses in virtual machines, wake the graph
// less often on a busy machine.
constexpr char kPipeWireFragment[] = R"(context.properties = {
    default.clock.allowed-rates = [ 16000 44100 48000 ]
    default.clock.min-quantum = 1024
}
)";

// The stock pulse server configuration, less module-always-sink, which makes
// up a "Dummy Output" whenever there is no sink: a test's server holds only the
// devices the test makes, as a private PulseAudio does. The real-time module
// stays: without it the pulse server's streams miss their cycles on a busy
// machine, and PipeWire fills each missed cycle with silence.
constexpr char kPulseConfig[] = R"(context.properties = {
}
context.spa-libs = {
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
pulse.properties = {
    server.address = [ "unix:native" ]
}
)";

}  // namespace

bool writeFile(const std::string& path, const std::string& text) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

bool startPipeWire(const std::string& dir, Environment& environment,
                   std::vector<ServerProcess>& processes, std::string& error) {
  const std::string runtime = environment.at("XDG_RUNTIME_DIR");
  const std::string config = dir + "/config";
  if (!writeFile(config + "/wireplumber/main.lua.d/60-private-test-server.lua", kMainOverride) ||
      !writeFile(config + "/wireplumber/bluetooth.lua.d/60-private-test-server.lua",
                 kBluetoothOverride) ||
      !writeFile(config + "/pipewire/pipewire.conf.d/60-private-test-server.conf",
                 kPipeWireFragment) ||
      !writeFile(config + "/pipewire/pipewire-pulse.conf", kPulseConfig)) {
    error = "cannot write the PipeWire configuration";
    return false;
  }
  // The pulse server expects its folder to be there already.
  std::error_code ignored;
  std::filesystem::create_directories(runtime + "/pulse", ignored);

  // Each of these would otherwise let a variable of the test runner's session
  // lead a process to another server or to other configuration files.
  environment.insert_or_assign("XDG_CONFIG_HOME", config);
  environment.insert_or_assign("XDG_STATE_HOME", dir + "/state");
  environment.insert_or_assign("XDG_DATA_HOME", dir + "/data");
  environment.insert_or_assign("PIPEWIRE_RUNTIME_DIR", runtime);
  for (const char* name :
       {"PIPEWIRE_REMOTE", "PIPEWIRE_CONFIG_DIR", "PIPEWIRE_CONFIG_NAME", "PIPEWIRE_CONFIG_PREFIX",
        "PIPEWIRE_CORE", "PIPEWIRE_NODE", "PIPEWIRE_PROPS", "PIPEWIRE_LATENCY", "PIPEWIRE_QUANTUM",
        "PIPEWIRE_RATE", "WIREPLUMBER_CONFIG_DIR", "WIREPLUMBER_DATA_DIR",
        "WIREPLUMBER_CONFIG_FILE"}) {
    environment.insert_or_assign(name, "");
  }

  auto start = [&](const std::string& program) {
    ChildProcess::Options options{environment, false};
    auto process = ChildProcess::start({program}, options);
    if (!process) {
      error =
          "cannot start " + program + " (are pipewire, wireplumber and pipewire-pulse installed?)";
      return false;
    }
    processes.push_back({program, std::move(process)});
    return true;
  };

  if (!start("pipewire")) return false;
  const std::string socket = runtime + "/pipewire-0";
  if (!pollUntil([&] { return anyEnded(processes) || isSocket(socket); }, 250) ||
      !isSocket(socket)) {
    error = "pipewire did not open " + socket + " within 5 s\n" + describeProcesses(processes);
    return false;
  }
  return start("wireplumber") && start("pipewire-pulse");
}

void stopProcesses(std::vector<ServerProcess>& processes) {
  for (auto it = processes.rbegin(); it != processes.rend(); ++it) {
    ChildProcess& process = *it->process;
    process.sendSignal(SIGTERM);
    if (!process.waitForExit(std::chrono::seconds(3))) process.sendSignal(SIGKILL);
    process.waitForExit(std::chrono::seconds(3));
  }
  processes.clear();
}

bool anyEnded(std::vector<ServerProcess>& processes) {
  return std::ranges::any_of(processes,
                             [](auto& p) { return p.process->waitForExit(0ms).has_value(); });
}

std::string describeProcesses(std::vector<ServerProcess>& processes) {
  std::ostringstream text;
  for (auto& [name, process] : processes) {
    const auto status = process->waitForExit(std::chrono::milliseconds(0));
    text << name << " (pid " << process->pid()
         << "): " << (status ? "ended with " + std::to_string(describeStatus(*status)) : "running");
    std::string err = process->stderrText();
    if (err.size() > 2000) err = "..." + err.substr(err.size() - 2000);
    text << (err.empty() ? "\n" : ", standard error:\n" + err + "\n");
  }
  return text.str();
}

}  // namespace pulsetest
