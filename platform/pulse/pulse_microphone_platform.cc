#include "platform/pulse/pulse_microphone_platform.h"

#include <pulse/sample.h>

#include <cmath>
#include <new>

#include "common/output_stream.h"
#include "platform/pulse/pulse_engine.h"
#include "platform/pulse/soxr_converter.h"

namespace pulse {
namespace {

// No single buffer of the tool comes near this; a request beyond it is a bad
// size, not a reason to exhaust memory.
constexpr std::size_t kMaxBufferSamples = std::size_t{1} << 26;

bool describable(uint32_t commonFormat, double sampleRate, uint32_t channels) {
  return (commonFormat == velloc::kCommonFormatFloat32 ||
          commonFormat == velloc::kCommonFormatInt16) &&
         std::isfinite(sampleRate) && sampleRate > 0.0 && channels > 0 &&
         channels <= PA_CHANNELS_MAX;
}

}  // namespace

PulseMicrophonePlatform::PulseMicrophonePlatform(pcm::ProcessControl& process)
    : process_(process), link_(process), devices_(link_) {}

PulseMicrophonePlatform::~PulseMicrophonePlatform() = default;

std::unique_ptr<velloc::AudioEngine> PulseMicrophonePlatform::makeEngine() {
  return std::make_unique<PulseAudioEngine>(link_, process_);
}

std::optional<velloc::AudioFormat> PulseMicrophonePlatform::makeFormat(uint32_t commonFormat,
                                                                       double sampleRate,
                                                                       uint32_t channels,
                                                                       bool interleaved) {
  if (!describable(commonFormat, sampleRate, channels)) return std::nullopt;
  return velloc::AudioFormat{commonFormat, sampleRate, channels, interleaved};
}

std::unique_ptr<velloc::AudioConverter> PulseMicrophonePlatform::makeConverter(
    const velloc::AudioFormat& from, const velloc::AudioFormat& to) {
  return SoxrConverter::create(from, to);
}

std::unique_ptr<velloc::PcmBuffer> PulseMicrophonePlatform::makePcmBuffer(
    const velloc::AudioFormat& format, uint32_t frameCapacity) {
  if (!describable(format.commonFormat, format.sampleRate, format.channelCount)) return nullptr;
  if (static_cast<std::size_t>(frameCapacity) * format.channelCount > kMaxBufferSamples) {
    return nullptr;
  }
  try {
    return std::make_unique<velloc::PcmBuffer>(format, frameCapacity);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace pulse
