// Displays are the server's sinks: capturing one records what the system plays through it.
#pragma once

#include <memory>
#include <string>

#include "platform/pulse/pulse_connection.h"
#include "system_audio/capture_platform.h"

namespace pulse {

class SinkDisplay final : public corvane::Display {
 public:
  SinkDisplay(uint32_t index, std::string name, std::string monitorSourceName)
      : index_(index), name_(std::move(name)), monitorSourceName_(std::move(monitorSourceName)) {}
  uint32_t displayID() const override { return index_; }
  const std::string& name() const { return name_; }
  const std::string& monitorSourceName() const { return monitorSourceName_; }

 private:
  uint32_t index_;
  std::string name_;
  std::string monitorSourceName_;
};

class PulseCapturePlatform final : public corvane::CapturePlatform {
 public:
  PulseCapturePlatform();
  ~PulseCapturePlatform() override;

  // Connects on the first request; answers before returning. The default sink comes first.
  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           corvane::ShareableContentCompletion completion) override;
  std::unique_ptr<corvane::StreamConfiguration> makeStreamConfiguration() override;
  // The filter's display must be one this platform listed.
  std::shared_ptr<corvane::CaptureStream> makeStream(
      const corvane::ContentFilter& filter, const corvane::StreamConfiguration& configuration,
      corvane::StreamDelegate& delegate) override;
  corvane::DeliveryQueue& sampleHandlerQueue() override;
  void startDetachedTask(std::function<void()> task) override;
  corvane::OutputStream& standardOutput() override;
  pcm::ProcessControl& process() override;

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

}  // namespace pulse
