// An in-memory MicrophonePlatform for velloc's tests and fuzzer: devices,
// engine, converter and buffers answer as the test arranges.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "microphone/velloc.h"
#include "tests/fake/common/fake_process.h"

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

inline constexpr uint32_t kHeader = offsetof(AudioBufferList, mBuffers);

class FakeDevices final : public DeviceProperties {
 public:
  OSStatus deviceListDataSize(uint32_t& size) override {
    size = listSize.value_or(static_cast<uint32_t>(4 * list.size()));
    return listSizeStatus;
  }
  OSStatus readDeviceList(uint32_t& size, AudioObjectID* ids) override {
    const std::size_t n = std::min({std::size_t{size / 4}, list.size(), readLimit});
    for (std::size_t i = 0; i < n; ++i) ids[i] = list[i].id;
    size = static_cast<uint32_t>(4 * n);
    return kNoErr;
  }
  OSStatus inputStreamConfigurationDataSize(AudioObjectID id, uint32_t& size) override {
    size = find(id).configSize.value_or(trueSize(find(id)));
    return find(id).failing == kConfigSize ? -1 : kNoErr;
  }
  OSStatus readInputStreamConfiguration(AudioObjectID id, uint32_t& size, void* to) override {
    const FakeDevice& d = find(id);
    std::vector<std::byte> whole(trueSize(d));
    const uint32_t count = d.claimedBuffers.value_or(static_cast<uint32_t>(d.streams.size()));
    std::memcpy(whole.data(), &count, 4);
    for (std::size_t i = 0; i < d.streams.size(); ++i)
      std::memcpy(&whole[kHeader + i * sizeof(AudioBuffer)], &d.streams[i], 4);
    size = std::min(size, trueSize(d));
    std::memcpy(to, whole.data(), size);
    return d.failing == kConfigRead ? -2 : kNoErr;
  }
  OSStatus readDeviceName(AudioObjectID id, std::optional<std::string>& name) override {
    name = find(id).name;
    return find(id).failing == kName ? -3 : kNoErr;
  }
  static uint32_t trueSize(const FakeDevice& d) {
    return static_cast<uint32_t>(kHeader + sizeof(AudioBuffer) * d.streams.size());
  }

  std::vector<FakeDevice> list;
  OSStatus listSizeStatus = kNoErr;
  std::optional<uint32_t> listSize;  // instead of 4 bytes per device
  std::size_t readLimit = SIZE_MAX;  // how many the read returns, as if the rest went meanwhile

 private:
  const FakeDevice& find(AudioObjectID id) const {  // the list is in the order of identifiers
    static const FakeDevice unknown{0, std::nullopt, {}, kConfigSize};
    return id < list.size() ? list[id] : unknown;
  }
};

// Notes the capacity of each output it is given and emits nothing.
struct FakeConverter final : AudioConverter {
  ConverterOutputStatus convert(PcmBuffer& out, std::optional<PlatformError>&,
                                const ConverterInputBlock&) override {
    capacities.push_back(out.frameCapacity());
    return ConverterOutputStatus::haveData;
  }
  void reset() override {}
  std::vector<uint32_t> capacities;
};

// Also the engine's input node.
class FakeMicrophonePlatform final : public MicrophonePlatform, public InputNode {
 public:
  void observe(EngineObserver&) override {}
  std::unique_ptr<AudioEngine> makeEngine() override { return std::make_unique<Engine>(*this); }
  DeviceProperties& devices() override { return deviceList; }
  std::optional<AudioFormat> makeFormat(uint32_t format, double rate, uint32_t channels,
                                        bool interleaved) override {
    return AudioFormat{format, rate, channels, interleaved};
  }
  std::unique_ptr<AudioConverter> makeConverter(const AudioFormat&, const AudioFormat&) override {
    return converterFails ? nullptr : std::make_unique<FakeConverter>();
  }
  std::unique_ptr<PcmBuffer> makePcmBuffer(const AudioFormat& format, uint32_t frames) override {
    return std::make_unique<PcmBuffer>(format, frames);
  }
  OutputStream& standardOutput() override { return proc; }
  pcm::ProcessControl& process() override { return proc; }
  AudioUnit* audioUnit() override { return nullptr; }
  AudioFormat outputFormatForBus(uint32_t) override { return native; }
  void installTap(uint32_t, uint32_t frames, const AudioFormat&, TapBlock) override {
    tapFrames = frames;
  }

  FakeProcess proc;
  FakeDevices deviceList;
  AudioFormat native{kCommonFormatFloat32, 48000.0, 2, false};
  bool converterFails = false;
  uint32_t tapFrames = 0;  // of the tap installed

 private:
  struct Engine final : AudioEngine {
    explicit Engine(FakeMicrophonePlatform& p) : p(p) {}
    InputNode& inputNode() override { return p; }
    std::optional<PlatformError> start() override { return std::nullopt; }
    FakeMicrophonePlatform& p;
  };
};

}  // namespace velloc::fake
