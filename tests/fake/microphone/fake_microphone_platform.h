// An in-memory MicrophonePlatform for velloc's tests and fuzzer: devices,
// engine, converter and buffers answer as the test arranges.
#pragma once

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <tuple>
#include <vector>

#include "microphone/velloc.h"
#include "tests/fake/common/fake_process.h"

namespace velloc {
// Equal rates by their bits, so that a NaN rate is itself.
inline bool operator==(const AudioFormat& a, const AudioFormat& b) {
  const auto fields = [](const AudioFormat& f) {
    return std::tuple(f.commonFormat, std::bit_cast<uint64_t>(f.sampleRate), f.channelCount,
                      f.interleaved);
  };
  return fields(a) == fields(b);
}
}  // namespace velloc

namespace velloc::fake {

using namespace pcm::fake;

enum Query { kNone, kConfigSize, kConfigRead, kName };

// The query named by `failing` fails, yet still writes what it would have, so
// that only its status tells.
struct FakeDevice {
  AudioObjectID id;
  std::optional<std::string> name;
  std::vector<uint32_t> streams = {1};  // channels of each input stream
  Query failing = kNone;
  std::optional<uint32_t> configSize{}, claimedBuffers{};  // reported instead of the true ones
};

class FakeDevices final : public DeviceProperties {
 public:
  OSStatus deviceListDataSize(uint32_t& size) override {
    size = listSize.value_or(static_cast<uint32_t>(4 * list.size()));
    return listSizeStatus;
  }
  OSStatus readDeviceList(uint32_t& size, AudioObjectID* ids) override {
    const std::size_t n = std::min({std::size_t{size / 4}, list.size(), readEntries});
    for (std::size_t i = 0; i < n; ++i) ids[i] = list[i].id;
    size = static_cast<uint32_t>(4 * n);
    return listReadStatus;
  }
  OSStatus inputStreamConfigurationDataSize(AudioObjectID id, uint32_t& size) override {
    const FakeDevice& d = find(id);
    size = d.configSize.value_or(
        static_cast<uint32_t>(kHeader + sizeof(AudioBuffer) * d.streams.size()));
    return d.failing == kConfigSize ? -1 : kNoErr;
  }
  OSStatus readInputStreamConfiguration(AudioObjectID id, uint32_t& size, void* to) override {
    const FakeDevice& d = find(id);
    std::vector<std::byte> whole(kHeader + sizeof(AudioBuffer) * d.streams.size());
    const uint32_t count = d.claimedBuffers.value_or(static_cast<uint32_t>(d.streams.size()));
    std::memcpy(whole.data(), &count, 4);
    for (std::size_t i = 0; i < d.streams.size(); ++i)
      std::memcpy(&whole[kHeader + i * sizeof(AudioBuffer)], &d.streams[i], 4);
    size = std::min(size, static_cast<uint32_t>(whole.size()));
    std::memcpy(to, whole.data(), size);
    return d.failing == kConfigRead ? -2 : kNoErr;
  }
  OSStatus readDeviceName(AudioObjectID id, std::optional<std::string>& name) override {
    name = find(id).name;
    return find(id).failing == kName ? -3 : kNoErr;
  }

  std::vector<FakeDevice> list;
  OSStatus listSizeStatus = kNoErr, listReadStatus = kNoErr;
  std::optional<uint32_t> listSize;    // instead of 4 bytes per device
  std::size_t readEntries = SIZE_MAX;  // the most identifiers a read writes

 private:
  static constexpr std::size_t kHeader = offsetof(AudioBufferList, mBuffers);
  const FakeDevice& find(AudioObjectID id) const {
    static const FakeDevice unknown{0, std::nullopt, {}, kConfigSize};
    const auto it = std::find_if(list.begin(), list.end(), [&](auto& d) { return d.id == id; });
    return it == list.end() ? unknown : *it;
  }
};

// Asks for input `inputRequests` times, noting each answer, then emits `frames`
// (by default all it has room for) of 0.5 with `status` and `error`.
struct FakeConverter final : AudioConverter {
  ConverterOutputStatus convert(PcmBuffer& out, std::optional<PlatformError>& slot,
                                const ConverterInputBlock& input) override {
    capacities.push_back(out.frameCapacity());
    for (int i = 0; i < inputRequests; ++i) {
      ConverterInputStatus given = ConverterInputStatus::endOfStream;
      const PcmBuffer* buffer = input(out.frameCapacity(), given);
      answers.emplace_back(given, buffer);
    }
    out.setFrameLength(frames.value_or(out.frameCapacity()));
    std::fill_n(out.floatChannelData()[0], out.frameLength(), 0.5f);
    slot = error;
    return status;
  }
  int inputRequests = 1;
  std::optional<uint32_t> frames;
  ConverterOutputStatus status = ConverterOutputStatus::haveData;
  std::optional<PlatformError> error;
  std::vector<uint32_t> capacities;
  std::vector<std::pair<ConverterInputStatus, const PcmBuffer*>> answers;
};

// Also the engine's input node and audio unit.
class FakeMicrophonePlatform final : public MicrophonePlatform, public InputNode, public AudioUnit {
 public:
  struct Engine final : AudioEngine {
    explicit Engine(FakeMicrophonePlatform& p) : p(p) {}
    InputNode& inputNode() override { return p; }
    std::optional<PlatformError> start() override { return p.startError; }
    FakeMicrophonePlatform& p;
  };
  std::unique_ptr<AudioEngine> makeEngine() override { return std::make_unique<Engine>(*this); }
  DeviceProperties& devices() override { return deviceList; }
  std::optional<AudioFormat> makeFormat(uint32_t format, double rate, uint32_t channels,
                                        bool interleaved) override {
    if (formatsLeft-- <= 0) return std::nullopt;
    return AudioFormat{format, rate, channels, interleaved};
  }
  std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                const AudioFormat& to) override {
    converterFormats = {from, to};
    return converterFails ? nullptr : std::make_unique<FakeConverter>();
  }
  std::unique_ptr<PcmBuffer> makePcmBuffer(const AudioFormat& format, uint32_t frames) override {
    return buffersFail ? nullptr : std::make_unique<PcmBuffer>(format, frames);
  }
  OutputStream& standardOutput() override { return proc; }
  pcm::ProcessControl& process() override { return proc; }
  AudioUnit* audioUnit() override { return hasAudioUnit ? this : nullptr; }
  AudioFormat outputFormatForBus(uint32_t bus) override {
    return bus == 0 ? native : AudioFormat{};
  }
  void installTap(uint32_t bus, uint32_t frames, const AudioFormat& format,
                  TapBlock block) override {
    if (bus == 0) std::tie(tapFrames, tapFormat, tap) = std::tie(frames, format, block);
  }
  OSStatus setCurrentDevice(AudioObjectID device) override {
    bound = device;
    return bindStatus;
  }

  FakeProcess proc;
  FakeDevices deviceList;
  AudioFormat native{kCommonFormatFloat32, 48000.0, 2, false};
  int formatsLeft = 1000;  // formats it can make before it fails
  bool converterFails = false, buffersFail = false, hasAudioUnit = true;
  std::pair<AudioFormat, AudioFormat> converterFormats;  // of the last converter asked for
  std::optional<AudioObjectID> bound;
  OSStatus bindStatus = kNoErr;
  std::optional<PlatformError> startError;
  uint32_t tapFrames = 0;
  AudioFormat tapFormat;
  TapBlock tap;
};

// A full float buffer: plane after plane, or frame after frame when interleaved.
inline std::unique_ptr<PcmBuffer> floats(const std::vector<float>& samples, uint32_t channels = 1,
                                         bool interleaved = false, double rate = 16000.0) {
  const auto frames = static_cast<uint32_t>(samples.size() / channels);
  auto buffer = std::make_unique<PcmBuffer>(
      AudioFormat{kCommonFormatFloat32, rate, channels, interleaved}, frames);
  for (std::size_t i = 0; i < samples.size(); ++i)
    buffer->floatChannelData()[interleaved ? 0 : i / frames][interleaved ? i : i % frames] =
        samples[i];
  buffer->setFrameLength(frames);
  return buffer;
}

}  // namespace velloc::fake
