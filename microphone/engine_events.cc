#include <string>

#include "microphone/velloc.h"

namespace velloc {

void EngineEvents::serverUnreachable(const PlatformError& error) {
  process_.writeDiagnostic(
      "[tamsel] WARNING: audio server unreachable: " + error.localizedDescription + "\n");
}

void EngineEvents::engineFailed(const PlatformError& error) {
  process_.writeDiagnostic("[tamsel] FATAL: audio stream failed: " + error.localizedDescription +
                           "\n");
  process_.exitProcess(1);
}

void EngineEvents::inputChanged(const std::string& description) {
  process_.writeDiagnostic("[tamsel] Default input changed: capturing \"" + description + "\"\n");
}

void EngineEvents::audioLost(uint64_t milliseconds) {
  process_.writeDiagnostic("[tamsel] WARNING: the audio server dropped " +
                           std::to_string(milliseconds) + " ms of audio\n");
}

}  // namespace velloc
