// corvane's one capturer: configures and starts the capture stream, receives its
// sample buffers and learns when it stops.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/timeline.h"
#include "system_audio/capture_platform.h"

namespace corvane {

// The stream the capture is asked for; the platform resamples and mixes to it.
inline constexpr double targetSampleRate = 16000.0;
inline constexpr uint32_t targetChannels = 1;

class SystemAudioCapturer final : public StreamDelegate, public StreamOutput {
 public:
  // Makes no capture request; only takes the platform's standard output.
  explicit SystemAudioCapturer(CapturePlatform& platform);

  // Blocks the calling thread (never the main thread) until capture has begun,
  // then writes the started line. Returns the platform's error when a step
  // fails. Ends the process itself when the platform lists no display.
  std::optional<PlatformError> start();

  // On the delivery queue, one buffer at a time: writes an audio buffer's
  // samples to standard output as 16-bit PCM.
  void didOutputSampleBuffer(CaptureStream& stream, const SampleBuffer& sampleBuffer,
                             StreamOutputType type) override;

  // Writes the stopped line and ends the process with status 1.
  void didStopWithError(CaptureStream& stream, const PlatformError& error) override;
  void didSwitchOutput(CaptureStream& stream, const std::string& description) override;
  void didLoseAudio(CaptureStream& stream, uint64_t milliseconds) override;

 private:
  std::optional<PlatformError> requestFirstDisplay(std::shared_ptr<const Display>& display);
  // Writes the FATAL line and ends the process on an output error.
  void endOnOutputFailure(int error);

  OutputStream& output_;
  CapturePlatform& platform_;
  // Set by start() before capture begins and kept until the process ends.
  std::shared_ptr<CaptureStream> stream_;
  // Puts the samples in place in time and writes them; delivery queue only.
  pcm::Timeline timeline_;
  bool loggedFormat_ = false, stamped_ = false;
  // Where buffers whose bytes are scattered or misaligned are gathered, kept
  // between buffers so that the audio path stops allocating.
  std::vector<float> dataCopy_;
};

// The stream-format line, "[orrick] ASBD ...\n".
std::string streamFormatLine(const AudioStreamBasicDescription& description);

}  // namespace corvane
