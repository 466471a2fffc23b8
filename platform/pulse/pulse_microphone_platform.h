// Never destroy it while an engine it made is running. A server it cannot reach (or that stops
// answering) is told to the observer once and gives an empty native format.
#pragma once

#include <memory>

#include "common/output_stream.h"
#include "common/process_control.h"
#include "microphone/audio_platform.h"
#include "microphone/velloc_lines.h"
#include "platform/pulse/pulse_devices.h"
#include "platform/pulse/server_link.h"

namespace pulse {

class PulseMicrophonePlatform final : public velloc::MicrophonePlatform {
 public:
  explicit PulseMicrophonePlatform(pcm::ProcessControl& process);

  void observe(velloc::EngineObserver& observer) override { observer_ = &observer; }
  std::unique_ptr<velloc::AudioEngine> makeEngine() override;
  velloc::DeviceProperties& devices() override { return devices_; }
  std::optional<velloc::AudioFormat> makeFormat(uint32_t commonFormat, double sampleRate,
                                                uint32_t channels, bool interleaved) override;
  std::unique_ptr<velloc::AudioConverter> makeConverter(const velloc::AudioFormat& from,
                                                        const velloc::AudioFormat& to) override;
  std::unique_ptr<velloc::PcmBuffer> makePcmBuffer(const velloc::AudioFormat& format,
                                                   uint32_t frameCapacity) override;
  velloc::OutputStream& standardOutput() override { return stdout_; }
  pcm::ProcessControl& process() override { return process_; }

 private:
  pcm::ProcessControl& process_;
  velloc::EngineObserver* observer_ = nullptr;
  ServerLink link_;
  PulseDeviceProperties devices_;
  pcm::QueuedOutput stdout_{process_, velloc::lines::kFellBehind, 1,
                            pcm::QueuedOutput::boundFromEnvironment()};
};

}  // namespace pulse
