#include "microphone/velloc.h"

#include <string>

#include "microphone/velloc_lines.h"

namespace velloc {
namespace {

constexpr std::string_view kDeviceOption = "--device-id";

}  // namespace

void scanCommandLine(VellocState& state, std::span<const std::string> args) {
  pcm::ProcessControl& process = state.platform->process();
  for (std::size_t i = 0; i < args.size();) {
    if (args[i] != kDeviceOption) {
      say(process, lines::kUnknownArg, {args[i]});
      i += 1;
      continue;
    }
    if (i + 1 < args.size()) {
      // Whatever follows is the name, even when it looks like an option.
      if (!args[i + 1].empty()) state.requestedDeviceName = args[i + 1];
      i += 2;
    } else {
      say(process, lines::kDeviceIdWithoutValue);
      i += 1;
    }
  }
}

int runVelloc(VellocState& state, MicrophonePlatform& platform, std::span<const std::string> args) {
  state.platform = &platform;
  pcm::ProcessControl& process = platform.process();
  platform.observe(state.events.emplace(process));
  process.installSignalHandlers(lines::kSigterm.text, lines::kSigint.text);

  state.targetSampleRate = 16000.0;
  state.targetChannels = 1;
  state.requestedDeviceName.reset();

  scanCommandLine(state, args);
  if (state.requestedDeviceName) {
    say(process, lines::kRequestedDevice, {*state.requestedDeviceName});
  } else {
    say(process, lines::kNoDeviceId);
  }

  setUpEngine(state);

  if (const auto error = state.engine->start()) {
    end(process, lines::kStartFailed, {error->localizedDescription});
  }
  say(process, lines::kStarted);
  say(process, lines::kVoiceProcessing, {state.voiceProcessingEnabled ? "ON" : "OFF"});

  process.parkMainThread();
  return 0;
}

}  // namespace velloc
