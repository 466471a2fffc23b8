#include <string>

#include "common/number_format.h"
#include "microphone/velloc.h"
#include "microphone/velloc_lines.h"

namespace velloc {
namespace {

// A little under 100 ms at common native rates; exactly 100 ms at 16 kHz on the direct path.
constexpr uint32_t kConverterTapFrames = 4096;
constexpr uint32_t kDirectTapFrames = 1600;
constexpr uint32_t kInputBus = 0;

std::string rateAndChannels(double rate, uint32_t channels) {
  return pcm::formatDouble(rate) + "Hz/" + std::to_string(channels) + "ch";
}

void bindRequestedDevice(VellocState& state, const std::string& name) {
  pcm::ProcessControl& process = state.platform->process();
  const auto device = findInputDeviceID(state, name);
  if (!device) return;  // the lookup has said why

  AudioUnit* unit = state.inputNode->audioUnit();
  if (unit == nullptr) {
    say(process, lines::kNoAudioUnit);
    return;
  }
  const OSStatus status = unit->setCurrentDevice(*device);
  if (status == kNoErr) {
    say(process, lines::kDeviceBound, {std::to_string(*device), name});
  } else {
    say(process, lines::kBindFailed, {std::to_string(status)});
  }
}

void readNativeFormat(VellocState& state) {
  pcm::ProcessControl& process = state.platform->process();
  state.nativeFormat = state.inputNode->outputFormatForBus(kInputBus);
  const AudioFormat& native = state.nativeFormat;
  say(process, lines::kNativeFormat,
      {pcm::formatDouble(native.sampleRate), std::to_string(native.channelCount),
       std::to_string(native.commonFormat)});

  // A NaN rate passes on purpose: the converter path copes with it by dropping buffers.
  if (native.channelCount == 0 || native.sampleRate <= 0.0) {
    end(process, lines::kDegenerateFormat,
        {std::to_string(native.channelCount), pcm::formatDouble(native.sampleRate)});
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
    say(process, lines::kNoConverter, {route});
  } else {
    say(process, lines::kConverter, {route});
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
    say(process, lines::kConverterTap);
    return;
  }

  const auto float32Target =
      state.platform->makeFormat(kCommonFormatFloat32, state.targetSampleRate, state.targetChannels,
                                 /*interleaved=*/false);
  if (!float32Target) end(process, lines::kNoFloat32Format);
  state.inputNode->installTap(kInputBus, kDirectTapFrames, *float32Target,
                              [&state](const PcmBuffer& buffer, const AudioTime& when) {
                                handleDirectTap(state, buffer, when);
                              });
  say(process, lines::kDirectTap);
}

}  // namespace

void setUpEngine(VellocState& state) {
  MicrophonePlatform& platform = *state.platform;

  state.engine = platform.makeEngine();
  state.inputNode = &state.engine->inputNode();

  if (state.requestedDeviceName) bindRequestedDevice(state, *state.requestedDeviceName);

  // Voice processing would filter the microphone and disturb system-audio capture beside us.
  state.voiceProcessingEnabled = false;
  say(platform.process(), lines::kVoiceProcessingOff);

  readNativeFormat(state);

  // Only required to exist: it describes the stream the writer produces.
  if (!platform.makeFormat(kCommonFormatInt16, state.targetSampleRate, state.targetChannels,
                           /*interleaved=*/true)) {
    end(platform.process(), lines::kNoTargetFormat);
  }

  state.converterInputFormat = state.nativeFormat;

  const auto converterOutputFormat = platform.makeFormat(
      kCommonFormatFloat32, state.targetSampleRate, state.targetChannels, /*interleaved=*/false);
  if (!converterOutputFormat) {
    end(platform.process(), lines::kNoConverterFormat);
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
