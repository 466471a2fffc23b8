#include "microphone/velloc.h"

#include <string>

namespace velloc {
namespace {

constexpr std::string_view kDeviceOption = "--device-id";
constexpr std::string_view kSigtermLine = "[tamsel] Received SIGTERM, stopping...\n";
constexpr std::string_view kSigintLine = "[tamsel] Received SIGINT, stopping...\n";

}  // namespace

void scanCommandLine(VellocState& state, std::span<const std::string> args) {
  pcm::ProcessControl& process = state.platform->process();
  for (std::size_t i = 0; i < args.size();) {
    if (args[i] != kDeviceOption) {
      process.writeDiagnostic("[tamsel] WARNING: ignoring unknown arg: " + args[i] + "\n");
      i += 1;
      continue;
    }
    if (i + 1 < args.size()) {
      // Whatever follows is the name, even when it looks like an option.
      if (!args[i + 1].empty()) state.requestedDeviceName = args[i + 1];
      i += 2;
    } else {
      process.writeDiagnostic(
          "[tamsel] WARNING: --device-id passed without value, using system default\n");
      i += 1;
    }
  }
}

int runVelloc(VellocState& state, MicrophonePlatform& platform, std::span<const std::string> args) {
  state.platform = &platform;
  pcm::ProcessControl& process = platform.process();
  platform.observe(state.events.emplace(process));
  process.installSignalHandlers(kSigtermLine, kSigintLine);

  state.targetSampleRate = 16000.0;
  state.targetChannels = 1;
  state.requestedDeviceName.reset();

  scanCommandLine(state, args);
  if (state.requestedDeviceName) {
    process.writeDiagnostic("[tamsel] Requested input device name: \"" +
                            *state.requestedDeviceName + "\"\n");
  } else {
    process.writeDiagnostic("[tamsel] No --device-id arg, using system default input\n");
  }

  setUpEngine(state);

  if (const auto error = state.engine->start()) {
    process.writeDiagnostic(
        "[tamsel] FATAL: engine.start() failed: " + error->localizedDescription + "\n");
    process.exitProcess(1);
  }
  process.writeDiagnostic("[tamsel] Raw mic capture started (16kHz, mono, 16-bit PCM → stdout)\n");
  process.writeDiagnostic(std::string("[tamsel] Voice processing: ") +
                          (state.voiceProcessingEnabled ? "ON" : "OFF") + "\n");

  process.parkMainThread();
  return 0;
}

}  // namespace velloc
