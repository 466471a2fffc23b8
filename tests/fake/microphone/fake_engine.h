// The engine, its input node and audio unit, with every tap kept for delivery.
#pragma once

#include <optional>
#include <vector>

#include "microphone/audio_platform.h"

namespace velloc::fake {

class FakeAudioUnit final : public AudioUnit {
 public:
  OSStatus setCurrentDevice(AudioObjectID device) override {
    boundDevices.push_back(device);
    return status;
  }
  OSStatus status = kNoErr;
  std::vector<AudioObjectID> boundDevices;
};

struct InstalledTap {
  uint32_t bus;
  uint32_t bufferSize;
  AudioFormat format;
  TapBlock block;
};

class FakeInputNode final : public InputNode {
 public:
  AudioUnit* audioUnit() override { return hasAudioUnit ? &unit : nullptr; }
  AudioFormat outputFormatForBus(uint32_t bus) override {
    formatBusesAsked.push_back(bus);
    return nativeFormat;
  }
  void installTap(uint32_t bus, uint32_t bufferSize, const AudioFormat& format,
                  TapBlock block) override {
    taps.push_back({bus, bufferSize, format, std::move(block)});
  }

  bool hasAudioUnit = true;
  FakeAudioUnit unit;
  AudioFormat nativeFormat{kCommonFormatFloat32, 48000.0, 2, false};
  std::vector<uint32_t> formatBusesAsked;
  std::vector<InstalledTap> taps;
};

// Borrows the node and the start answer from the platform that made it, so a
// test can set them up before the tool creates the engine and read them after.
class FakeEngine final : public AudioEngine {
 public:
  FakeEngine(FakeInputNode& node, const std::optional<PlatformError>& startError, int& starts)
      : node_(node), startError_(startError), starts_(starts) {}
  InputNode& inputNode() override { return node_; }
  std::optional<PlatformError> start() override {
    ++starts_;
    return startError_;
  }

 private:
  FakeInputNode& node_;
  const std::optional<PlatformError>& startError_;
  int& starts_;
};

}  // namespace velloc::fake
