// velloc: captures one microphone and writes it to standard output as 16 kHz
// mono signed 16-bit little-endian PCM.
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

// velloc's lines for what happens to capture, and how they end it.
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

// Everything the tool sets up once and the audio thread reads afterwards. All of
// it is written on the main thread before the engine starts; afterwards only
// `firstCallbackLogged` (under `firstCallbackFlag`) and the converter-path and
// writer bookkeeping (touched by the one tap thread alone) change.
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

  // Input frames handed to the converter so far; output capacities are taken
  // from this running total so that no fraction of a frame is lost per call.
  uint64_t convertedInputFrames = 0;
  // Frames the converter has put out so far: with the input total, they date
  // each output buffer from its tap buffer's capture time.
  uint64_t convertedOutputFrames = 0;
  // A tap buffer after a discontinuity whose converted frames have not gone out yet.
  bool discontinuityPending = false;
  // What puts the samples in place in time and writes them.
  std::optional<pcm::Timeline> timeline;
  bool stamped = false;
  // What the converter writes into, kept for the whole run.
  std::unique_ptr<PcmBuffer> converterOutput;
  // Channel 0 of an interleaved buffer, gathered for the writer.
  std::vector<float> interleavedScratch;
};

// The whole tool: signal handlers, command line, set-up, start, then park.
// Returns the exit status when the main thread is released; fatal paths end the
// process through the platform instead. `args` excludes the program path.
int runVelloc(VellocState& state, MicrophonePlatform& platform, std::span<const std::string> args);

// Pieces of the run.
void scanCommandLine(VellocState& state, std::span<const std::string> args);
std::optional<AudioObjectID> findInputDeviceID(VellocState& state, std::string_view named);
// Ends the process on a fatal set-up failure.
void setUpEngine(VellocState& state);

void handleConverterTap(VellocState& state, const AudioFormat& outputFormat,
                        AudioConverter& converter, const PcmBuffer& buffer, const AudioTime& when);
void handleDirectTap(VellocState& state, const PcmBuffer& buffer, const AudioTime& when);
// Writes channel 0 of `buffer`, whose first frame was captured at `capturedAt`
// (CLOCK_MONOTONIC seconds, NaN: unknown), to standard output as 16-bit PCM.
void writeInt16Samples(VellocState& state, const PcmBuffer& buffer, double capturedAt,
                       bool discontinuity);

}  // namespace velloc
