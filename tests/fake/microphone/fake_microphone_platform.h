// An in-memory MicrophonePlatform: every answer the tool can get from the real
// one can be arranged, and everything the tool does is recorded.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "fake_converters.h"
#include "fake_devices.h"
#include "fake_engine.h"
#include "fake_output_stream.h"
#include "fake_process.h"
#include "microphone/audio_platform.h"

namespace velloc::fake {

struct FormatRequest {
  uint32_t commonFormat;
  double sampleRate;
  uint32_t channels;
  bool interleaved;
};

using ConverterFactory =
    std::function<std::unique_ptr<AudioConverter>(const AudioFormat& from, const AudioFormat& to)>;

class FakeMicrophonePlatform final : public MicrophonePlatform {
 public:
  FakeMicrophonePlatform();

  std::unique_ptr<AudioEngine> makeEngine() override;
  DeviceProperties& devices() override { return deviceProperties; }
  std::optional<AudioFormat> makeFormat(uint32_t commonFormat, double sampleRate, uint32_t channels,
                                        bool interleaved) override;
  std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                const AudioFormat& to) override;
  std::unique_ptr<PcmBuffer> makePcmBuffer(const AudioFormat& format,
                                           uint32_t frameCapacity) override;
  OutputStream& standardOutput() override { return stdoutStream; }
  pcm::ProcessControl& process() override { return processControl; }

  // Hands `buffer` to the one installed tap, as the engine thread would.
  void deliver(const PcmBuffer& buffer);

  FakeInputNode input;
  FakeDeviceProperties deviceProperties;
  FakeOutputStream stdoutStream;
  FakeProcess processControl;

  int enginesMade = 0;
  std::optional<PlatformError> startError;
  int engineStarts = 0;

  std::vector<FormatRequest> formatRequests;
  std::set<std::size_t> failFormatCalls;  // 0-based call indexes that return none
  std::function<bool(const FormatRequest&)> failFormatWhen;

  // Default: a ResamplingConverter between the two formats. Return nullptr for
  // a converter that cannot be made.
  ConverterFactory converterFactory;
  std::vector<std::pair<AudioFormat, AudioFormat>> converterRequests;

  bool failPcmBuffers = false;
  std::vector<uint32_t> pcmBufferCapacities;
};

// A non-interleaved float buffer whose channel c holds `channels[c]`.
std::unique_ptr<PcmBuffer> makeFloatBuffer(double sampleRate,
                                           const std::vector<std::vector<float>>& channels);
// A mono float buffer of `frames` frames, every sample `value`.
std::unique_ptr<PcmBuffer> makeMonoBuffer(double sampleRate, uint32_t frames, float value = 0.0f);

}  // namespace velloc::fake
