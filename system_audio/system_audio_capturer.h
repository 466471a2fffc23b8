#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/timeline.h"
#include "system_audio/capture_platform.h"

namespace corvane {

// The platform resamples and mixes to it.
inline constexpr double targetSampleRate = 16000.0;
inline constexpr uint32_t targetChannels = 1;

class SystemAudioCapturer final : public StreamDelegate, public StreamOutput {
 public:
  explicit SystemAudioCapturer(CapturePlatform& platform);

  // Blocks the calling thread (never the main thread) until capture has begun. Ends the process
  // itself when the platform lists no display.
  std::optional<PlatformError> start();

  void didOutputSampleBuffer(CaptureStream& stream, const SampleBuffer& sampleBuffer,
                             StreamOutputType type) override;

  void didStopWithError(CaptureStream& stream, const PlatformError& error) override;
  void didSwitchOutput(CaptureStream& stream, const std::string& description) override;
  void didLoseAudio(CaptureStream& stream, uint64_t milliseconds) override;

 private:
  std::optional<PlatformError> requestFirstDisplay(std::shared_ptr<const Display>& display);
  void endOnOutputFailure(int error);

  OutputStream& output_;
  CapturePlatform& platform_;
  // Kept until the process ends.
  std::shared_ptr<CaptureStream> stream_;
  // Delivery queue only.
  pcm::Timeline timeline_;
  bool loggedFormat_ = false, stamped_ = false;
  // For scattered or misaligned bytes; kept, so that the audio path stops allocating.
  std::vector<float> dataCopy_;
};

std::string streamFormatLine(const AudioStreamBasicDescription& description);

}  // namespace corvane
