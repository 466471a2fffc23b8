#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/pulse/pulse_connection.h"
#include "platform/pulse/record_stream.h"
#include "system_audio/capture_platform.h"

namespace pulse {

// Short enough that a reader hears the system within a twentieth of a second (half of velloc's
// 100 ms blocks); long enough that the server, which wakes the monitored sink this often too, and
// this process make only twenty wake-ups and writes a second.
inline constexpr uint32_t kDeliveryMilliseconds = 50;

class PulseCaptureStream final : public corvane::CaptureStream {
 public:
  PulseCaptureStream(PulseConnection& connection, std::string monitorSourceName,
                     const corvane::StreamConfiguration& configuration,
                     corvane::StreamDelegate& delegate);

  // Screen outputs are accepted and never called: there is no video.
  std::optional<corvane::PlatformError> addStreamOutput(corvane::StreamOutput& output,
                                                        corvane::StreamOutputType type,
                                                        corvane::DeliveryQueue& queue) override;
  // Calls `completion` before returning.
  void startCapture(
      std::function<void(std::optional<corvane::PlatformError> error)> completion) override;

 private:
  void deliver(std::span<const std::byte> block, double heardAt, bool discontinuity);

  PulseConnection& connection_;
  const std::string monitorSourceName_;
  const uint32_t sampleRate_;
  const uint32_t channels_;
  corvane::StreamDelegate& delegate_;
  // Filled before capture starts; read only by the delivery thread afterwards.
  std::vector<corvane::StreamOutput*> audioOutputs_;
  std::unique_ptr<RecordStream> recorder_;
};

}  // namespace pulse
