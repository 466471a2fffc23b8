#include <cstdlib>
#include <string>

#include "common/number_format.h"
#include "microphone/velloc.h"

namespace velloc {
namespace {

// Tap sizes in frames: a little under 100 ms at common native rates on the
// converter path, exactly 100 ms at 16 kHz on the direct path.
constexpr uint32_t kConverterTapFrames = 4096;
constexpr uint32_t kDirectTapFrames = 1600;
constexpr uint32_t kInputBus = 0;

[[noreturn]] void fatal(VellocState& state, const std::string& line, int status) {
  pcm::ProcessControl& process = state.platform->process();
  process.writeDiagnostic(line);
  process.exitProcess(status);
  std::abort();  // not reached; the compiler does not carry [[noreturn]] through the virtual call
}

std::string rateAndChannels(double rate, uint32_t channels) {
  return pcm::formatDouble(rate) + "Hz/" + std::to_string(channels) + "ch";
}

void bindRequestedDevice(VellocState& state, const std::string& name) {
  pcm::ProcessControl& process = state.platform->process();
  const auto device = findInputDeviceID(state, name);
  if (!device) return;  // the lookup has said why

  AudioUnit* unit = state.inputNode->audioUnit();
  if (unit == nullptr) {
    process.writeDiagnostic(
        "[tamsel] AudioUnit: inputNode.audioUnit is nil — falling back to system default\n");
    return;
  }
  const OSStatus status = unit->setCurrentDevice(*device);
  if (status == kNoErr) {
    process.writeDiagnostic("[tamsel] AudioUnit: bound input to device id=" +
                            std::to_string(*device) + " (\"" + name + "\")\n");
  } else {
    process.writeDiagnostic("[tamsel] AudioUnit: SetProperty(CurrentDevice) status=" +
                            std::to_string(status) + " — falling back to system default\n");
  }
}

void readNativeFormat(VellocState& state) {
  pcm::ProcessControl& process = state.platform->process();
  state.nativeFormat = state.inputNode->outputFormatForBus(kInputBus);
  const AudioFormat& native = state.nativeFormat;
  process.writeDiagnostic("[tamsel] Native input format: " + pcm::formatDouble(native.sampleRate) +
                          "Hz, " + std::to_string(native.channelCount) +
                          "ch, commonFormat=" + std::to_string(native.commonFormat) + "\n");

  // A NaN rate passes on purpose: the comparison is false, and the converter
  // path copes with it by dropping buffers.
  if (native.channelCount == 0 || native.sampleRate <= 0.0) {
    process.writeDiagnostic("[tamsel] FATAL: native input format is degenerate (channels=" +
                            std::to_string(native.channelCount) +
                            ", rate=" + pcm::formatDouble(native.sampleRate) + "). ");
    process.writeDiagnostic(
        "Likely causes: microphone permission not granted (check System Settings → Privacy & "
        "Security → Microphone) or the requested device has no input streams.\n");
    process.exitProcess(2);
  }
}

void createConverter(VellocState& state, const AudioFormat& converterOutputFormat) {
  pcm::ProcessControl& process = state.platform->process();
  const AudioFormat& native = state.nativeFormat;
  state.converter =
      state.platform->makeConverter(state.converterInputFormat, converterOutputFormat);
  const std::string route = rateAndChannels(native.sampleRate, native.channelCount) + " → " +
                            rateAndChannels(state.targetSampleRate, state.targetChannels);
  if (!state.converter) {
    process.writeDiagnostic("[tamsel] WARNING: AVAudioConverter init returned nil (" + route +
                            ") — will attempt direct tap\n");
  } else {
    process.writeDiagnostic("[tamsel] Audio converter: " + route +
                            " (AVAudioConverter handles channel down-mix)\n");
  }
}

void installTap(VellocState& state, const AudioFormat& converterOutputFormat) {
  pcm::ProcessControl& process = state.platform->process();
  if (state.converter && state.needsConversion) {
    AudioConverter* converter = state.converter.get();
    state.inputNode->installTap(
        kInputBus, kConverterTapFrames, state.nativeFormat,
        [&state, converterOutputFormat, converter](const PcmBuffer& buffer, const AudioTime& when) {
          handleConverterTap(state, converterOutputFormat, *converter, buffer, when);
        });
    process.writeDiagnostic("[tamsel] Installed tap with format conversion\n");
    return;
  }

  const auto float32Target =
      state.platform->makeFormat(kCommonFormatFloat32, state.targetSampleRate, state.targetChannels,
                                 /*interleaved=*/false);
  if (!float32Target) fatal(state, "[tamsel] FATAL: Failed to create Float32 target format\n", 1);
  state.inputNode->installTap(kInputBus, kDirectTapFrames, *float32Target,
                              [&state](const PcmBuffer& buffer, const AudioTime& when) {
                                handleDirectTap(state, buffer, when);
                              });
  process.writeDiagnostic(
      "[tamsel] Installed tap with Float32→Int16 conversion (no rate conversion needed)\n");
}

}  // namespace

void setUpEngine(VellocState& state) {
  MicrophonePlatform& platform = *state.platform;

  state.engine = platform.makeEngine();
  state.inputNode = &state.engine->inputNode();

  if (state.requestedDeviceName) bindRequestedDevice(state, *state.requestedDeviceName);

  // Voice processing would filter the microphone and disturb system-audio
  // capture running beside us, so it stays off and no platform call is made.
  state.voiceProcessingEnabled = false;
  platform.process().writeDiagnostic(
      "[tamsel] Voice processing OFF (raw mic — preserves SCK system audio capture)\n");

  readNativeFormat(state);

  // Only required to exist: it describes the stream the writer produces.
  if (!platform.makeFormat(kCommonFormatInt16, state.targetSampleRate, state.targetChannels,
                           /*interleaved=*/true)) {
    fatal(state, "[tamsel] FATAL: Failed to create target audio format (16kHz mono int16)\n", 1);
  }

  state.converterInputFormat = state.nativeFormat;

  const auto converterOutputFormat = platform.makeFormat(
      kCommonFormatFloat32, state.targetSampleRate, state.targetChannels, /*interleaved=*/false);
  if (!converterOutputFormat) {
    fatal(state, "[tamsel] FATAL: Failed to create converter output format\n", 1);
  }

  const AudioFormat& native = state.nativeFormat;
  state.needsConversion = native.sampleRate != state.targetSampleRate ||
                          native.channelCount != state.targetChannels ||
                          native.commonFormat != kCommonFormatFloat32;

  state.converter.reset();
  if (state.needsConversion) createConverter(state, *converterOutputFormat);

  state.outputHandle = &platform.standardOutput();
  state.timeline.emplace(*state.outputHandle);
  state.stamped = false;
  state.firstCallbackLogged = false;

  installTap(state, *converterOutputFormat);
}

}  // namespace velloc
