#include "fake_microphone_platform.h"

#include <stdexcept>

namespace velloc::fake {

FakeMicrophonePlatform::FakeMicrophonePlatform()
    : converterFactory([](const AudioFormat& from, const AudioFormat& to) {
        return std::make_unique<ResamplingConverter>(from, to);
      }) {}

std::unique_ptr<AudioEngine> FakeMicrophonePlatform::makeEngine() {
  ++enginesMade;
  return std::make_unique<FakeEngine>(input, startError, engineStarts);
}

std::optional<AudioFormat> FakeMicrophonePlatform::makeFormat(uint32_t commonFormat,
                                                              double sampleRate, uint32_t channels,
                                                              bool interleaved) {
  const FormatRequest request{commonFormat, sampleRate, channels, interleaved};
  const std::size_t index = formatRequests.size();
  formatRequests.push_back(request);
  if (failFormatCalls.count(index) != 0) return std::nullopt;
  if (failFormatWhen && failFormatWhen(request)) return std::nullopt;
  return AudioFormat{commonFormat, sampleRate, channels, interleaved};
}

std::unique_ptr<AudioConverter> FakeMicrophonePlatform::makeConverter(const AudioFormat& from,
                                                                      const AudioFormat& to) {
  converterRequests.emplace_back(from, to);
  return converterFactory ? converterFactory(from, to) : nullptr;
}

std::unique_ptr<PcmBuffer> FakeMicrophonePlatform::makePcmBuffer(const AudioFormat& format,
                                                                 uint32_t frameCapacity) {
  pcmBufferCapacities.push_back(frameCapacity);
  if (failPcmBuffers) return nullptr;
  return std::make_unique<PcmBuffer>(format, frameCapacity);
}

void FakeMicrophonePlatform::deliver(const PcmBuffer& buffer) {
  if (input.taps.size() != 1) throw std::logic_error("deliver needs exactly one installed tap");
  input.taps.front().block(buffer, AudioTime{});
}

std::unique_ptr<PcmBuffer> makeFloatBuffer(double sampleRate,
                                           const std::vector<std::vector<float>>& channels) {
  const auto frames = static_cast<uint32_t>(channels.empty() ? 0 : channels.front().size());
  const AudioFormat format{kCommonFormatFloat32, sampleRate, static_cast<uint32_t>(channels.size()),
                           false};
  auto buffer = std::make_unique<PcmBuffer>(format, frames);
  for (std::size_t c = 0; c < channels.size(); ++c) {
    for (uint32_t i = 0; i < frames; ++i) buffer->floatChannelData()[c][i] = channels[c][i];
  }
  buffer->setFrameLength(frames);
  return buffer;
}

std::unique_ptr<PcmBuffer> makeMonoBuffer(double sampleRate, uint32_t frames, float value) {
  return makeFloatBuffer(sampleRate, {std::vector<float>(frames, value)});
}

}  // namespace velloc::fake
