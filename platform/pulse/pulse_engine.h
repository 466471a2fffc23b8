// Tap buffers are lent over the stream's own block and arrive on libpulse's event thread. A stream
// that fails while capturing ends velloc with status 1 after one FATAL line, so a parent can tell.
#pragma once

#include <memory>
#include <optional>

#include "microphone/audio_platform.h"
#include "platform/pulse/record_stream.h"
#include "platform/pulse/server_link.h"
#include "platform/pulse/server_queries.h"

namespace pulse {

class PulseAudioUnit final : public velloc::AudioUnit {
 public:
  explicit PulseAudioUnit(ServerLink& link) : link_(link) {}
  velloc::OSStatus setCurrentDevice(velloc::AudioObjectID device) override;
  const std::optional<SourceInfo>& boundSource() const { return bound_; }

 private:
  ServerLink& link_;
  std::optional<SourceInfo> bound_;
};

class PulseInputNode final : public velloc::InputNode {
 public:
  explicit PulseInputNode(ServerLink& link) : link_(link), unit_(link) {}

  velloc::AudioUnit* audioUnit() override { return &unit_; }
  velloc::AudioFormat outputFormatForBus(uint32_t bus) override;
  void installTap(uint32_t bus, uint32_t bufferSize, const velloc::AudioFormat& format,
                  velloc::TapBlock block) override;

  struct Tap {
    uint32_t bufferSize = 0;
    velloc::AudioFormat format;
    velloc::TapBlock block;
  };
  const std::optional<Tap>& tap() const { return tap_; }
  // The bound source, else the default the native format was read from, else none.
  std::optional<SourceInfo> captureSource() const;
  const std::optional<SourceInfo>& boundSource() const { return unit_.boundSource(); }

 private:
  Result<SourceInfo> nativeSource(uint32_t bus);

  ServerLink& link_;
  PulseAudioUnit unit_;
  std::optional<SourceInfo> defaultSource_;
  std::optional<Tap> tap_;
};

class PulseAudioEngine final : public velloc::AudioEngine {
 public:
  PulseAudioEngine(ServerLink& link, velloc::EngineObserver& observer)
      : link_(link), observer_(observer), input_(link) {}

  velloc::InputNode& inputNode() override { return input_; }
  std::optional<velloc::PlatformError> start() override;

 private:
  ServerLink& link_;
  velloc::EngineObserver& observer_;
  PulseInputNode input_;
  std::unique_ptr<velloc::PcmBuffer> tapBuffer_;  // lent over the stream's block
  // Declared after what its handlers use, so it is destroyed first.
  std::unique_ptr<RecordStream> stream_;
};

}  // namespace pulse
