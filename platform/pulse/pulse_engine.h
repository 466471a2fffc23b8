// velloc's engine, input node and audio unit on the audio server.
//
// The input node reads its native format from the source it is bound to (or the
// server's default source): float, interleaved, at the source's own rate and
// channel count, which is how the server delivers it. Starting the engine opens
// one record stream in the tap's format on that source; the server converts
// when the tap asks for another format. Tap buffers carry exactly the requested
// frame count, lent from the stream's own block, and arrive on the client
// library's event thread. An input bound to a device keeps it; otherwise the
// stream follows the server's default input, with one line at each move. If
// the stream fails while capturing (its device, or the last one, gone, or
// memory running out on the way to the tap), the process ends with status 1
// after one FATAL line: a parent must be able to tell that capture has stopped.
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
  // The source to capture: the bound one, else the default the native format
  // was read from, else none (the server's default at start).
  std::optional<SourceInfo> captureSource() const;
  const std::optional<SourceInfo>& boundSource() const { return unit_.boundSource(); }

 private:
  // What the input captures on `bus`: the bound source, else the server's default.
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
  // Declared after what its handlers use, so it goes first.
  std::unique_ptr<RecordStream> stream_;
};

}  // namespace pulse
