#include "platform/pulse/pulse_microphone_platform.h"

#include "platform/pulse/capture_formats.h"
#include "platform/pulse/pulse_engine.h"
#include "platform/pulse/soxr_converter.h"

namespace pulse {
namespace {

// No buffer of the tool comes near this: a request beyond it is a bad size, not one to honour.
constexpr std::size_t kMaxBufferSamples = std::size_t{1} << 26;

}  // namespace

PulseMicrophonePlatform::PulseMicrophonePlatform(pcm::ProcessControl& process)
    : process_(process),
      link_("velloc",
            [this](const Error& error) {
              if (observer_ != nullptr) observer_->serverUnreachable({error.reason});
            }),
      devices_(link_) {}

std::unique_ptr<velloc::AudioEngine> PulseMicrophonePlatform::makeEngine() {
  return std::make_unique<PulseAudioEngine>(link_, *observer_);
}

std::optional<velloc::AudioFormat> PulseMicrophonePlatform::makeFormat(uint32_t commonFormat,
                                                                       double sampleRate,
                                                                       uint32_t channels,
                                                                       bool interleaved) {
  const velloc::AudioFormat format{commonFormat, sampleRate, channels, interleaved};
  if (!capturable(format)) return std::nullopt;
  return format;
}

std::unique_ptr<velloc::AudioConverter> PulseMicrophonePlatform::makeConverter(
    const velloc::AudioFormat& from, const velloc::AudioFormat& to) {
  return SoxrConverter::create(from, to);
}

std::unique_ptr<velloc::PcmBuffer> PulseMicrophonePlatform::makePcmBuffer(
    const velloc::AudioFormat& format, uint32_t frameCapacity) {
  if (!capturable(format)) return nullptr;
  if (static_cast<std::size_t>(frameCapacity) * format.channelCount > kMaxBufferSamples) {
    return nullptr;
  }
  // Also asked for on the event thread, where running out of memory ends the stream.
  return std::make_unique<velloc::PcmBuffer>(format, frameCapacity);
}

}  // namespace pulse
