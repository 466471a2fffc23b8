// PipeWire, its session manager and its pulse server, started for one test in
// that test's temporary folder: headless (no D-Bus, no systemd), with no
// hardware monitors, and configured only from files in that folder.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/child_process.h"

namespace pulsetest {

// One process of a private server, with the name a failure message calls it by.
struct ServerProcess {
  std::string name;
  std::unique_ptr<ChildProcess> process;
};

// Writes `text` to `path`, making its folders first.
bool writeFile(const std::string& path, const std::string& text);

// Writes the private configuration under `dir`, adds to `environment` the
// variables that make every PipeWire program read it, and starts pipewire,
// then (once its socket is there) wireplumber and pipewire-pulse. The pulse
// server listens on `$XDG_RUNTIME_DIR/pulse/native`; `environment` must already
// name XDG_RUNTIME_DIR. On success `processes` holds the three in start order,
// the pulse server last. Whether the pulse server answers is for the caller
// to check.
bool startPipeWire(const std::string& dir, Environment& environment,
                   std::vector<ServerProcess>& processes, std::string& error);

// Ends `processes` last to first, each by its own PID: SIGTERM, then SIGKILL
// for one that has not ended within a few seconds.
void stopProcesses(std::vector<ServerProcess>& processes);

// Whether any of `processes` has ended.
bool anyEnded(std::vector<ServerProcess>& processes);

// For a failure message: each process, whether it still runs, and the last
// lines of its standard error.
std::string describeProcesses(std::vector<ServerProcess>& processes);

}  // namespace pulsetest
