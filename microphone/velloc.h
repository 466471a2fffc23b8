#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/timeline.h"
#include "microphone/audio_platform.h"

namespace velloc {

class EngineEvents final : public EngineObserver {
 public:
  explicit EngineEvents(pcm::ProcessControl& process) : process_(process) {}
  void serverUnreachable(const PlatformError& error) override;
  void engineFailed(const PlatformError& error) override;
  void inputChanged(const std::string& description) override;
  void audioLost(uint64_t milliseconds) override;

 private:
  pcm::ProcessControl& process_;
};

// Written on the main thread before the engine starts; afterwards only `firstCallbackLogged`
// (under `firstCallbackFlag`) and the tap thread's own bookkeeping below change.
struct VellocState {
  MicrophonePlatform* platform = nullptr;
  std::optional<EngineEvents> events;

  double targetSampleRate = 16000.0;
  uint32_t targetChannels = 1;
  std::optional<std::string> requestedDeviceName;

  std::unique_ptr<AudioEngine> engine;
  InputNode* inputNode = nullptr;
  bool voiceProcessingEnabled = false;
  AudioFormat nativeFormat;
  AudioFormat converterInputFormat;
  bool needsConversion = false;
  std::unique_ptr<AudioConverter> converter;
  OutputStream* outputHandle = nullptr;
  std::mutex firstCallbackFlag;
  bool firstCallbackLogged = false;

  uint64_t convertedInputFrames = 0;
  uint64_t convertedOutputFrames = 0;
  // A tap buffer after a discontinuity whose converted frames have not gone out yet.
  bool discontinuityPending = false;
  // When the frame after the last tap buffer was captured, as the dates so far put it.
  double nextCapturedAt = 0;
  std::optional<pcm::Timeline> timeline;
  bool stamped = false;
  std::unique_ptr<PcmBuffer> converterOutput;
  std::vector<float> interleavedScratch;
};

// Returns the exit status when the main thread is released; fatal paths end the process through
// the platform instead. `args` excludes the program path.
int runVelloc(VellocState& state, MicrophonePlatform& platform, std::span<const std::string> args);

void scanCommandLine(VellocState& state, std::span<const std::string> args);
std::optional<AudioObjectID> findInputDeviceID(VellocState& state, std::string_view named);
// Ends the process on a fatal set-up failure.
void setUpEngine(VellocState& state);

void handleConverterTap(VellocState& state, const AudioFormat& outputFormat,
                        AudioConverter& converter, const PcmBuffer& buffer, const AudioTime& when);
void handleDirectTap(VellocState& state, const PcmBuffer& buffer, const AudioTime& when);
// Writes channel 0, its first frame captured at `capturedAt` (CLOCK_MONOTONIC s, NaN: unknown).
void writeInt16Samples(VellocState& state, const PcmBuffer& buffer, double capturedAt,
                       bool discontinuity);

}  // namespace velloc
