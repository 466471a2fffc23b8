#include "platform/pulse/pulse_capture_platform.h"

#include <algorithm>
#include <thread>

#include "common/output_stream.h"
#include "common/posix_process.h"
#include "platform/pulse/pulse_capture_stream.h"
#include "platform/pulse/server_link.h"
#include "platform/pulse/server_queries.h"
#include "system_audio/corvane_lines.h"

namespace pulse {
namespace {

// Never called through: each stream delivers on its own thread.
class DeliveryThread final : public corvane::DeliveryQueue {};

class RefusedStream final : public corvane::CaptureStream {
 public:
  explicit RefusedStream(std::string reason) : reason_(std::move(reason)) {}
  std::optional<corvane::PlatformError> addStreamOutput(corvane::StreamOutput&,
                                                        corvane::StreamOutputType,
                                                        corvane::DeliveryQueue&) override {
    return std::nullopt;
  }
  void startCapture(
      std::function<void(std::optional<corvane::PlatformError>)> completion) override {
    completion(corvane::PlatformError{reason_});
  }

 private:
  std::string reason_;
};

corvane::ShareableContent sinksAsDisplays(const ServerInfo& server,
                                          const std::vector<SinkInfo>& sinks) {
  corvane::ShareableContent content;
  auto add = [&](const SinkInfo& sink) {
    content.displays.push_back(
        std::make_shared<SinkDisplay>(sink.index, sink.name, sink.monitorSourceName));
  };
  const auto isDefault = [&](const SinkInfo& sink) { return sink.name == server.defaultSinkName; };
  for (const SinkInfo& sink : sinks) {
    if (isDefault(sink)) add(sink);
  }
  for (const SinkInfo& sink : sinks) {
    if (!isDefault(sink)) add(sink);
  }
  return content;
}

}  // namespace

struct PulseCapturePlatform::Parts {
  ServerLink link{"corvane"};
  DeliveryThread deliveryThread;
  pcm::PosixProcess process;
  pcm::QueuedOutput standardOutput{process, corvane::lines::kFellBehind, 1,
                                   pcm::QueuedOutput::boundFromEnvironment()};
};

PulseCapturePlatform::PulseCapturePlatform() : parts_(std::make_unique<Parts>()) {}
PulseCapturePlatform::~PulseCapturePlatform() = default;

void PulseCapturePlatform::getShareableContent(bool, bool,
                                               corvane::ShareableContentCompletion completion) {
  // Desktop and off-screen windows mean nothing here: a sink's monitor carries all it plays.
  auto content =
      parts_->link.query([](PulseConnection& server) -> Result<corvane::ShareableContent> {
        auto info = queryServer(server);
        if (!info) return info.error();
        auto sinks = listSinks(server);
        if (!sinks) return sinks.error();
        return sinksAsDisplays(*info, *sinks);
      });
  if (!content) return completion(nullptr, corvane::PlatformError{content.error().reason});
  completion(std::make_shared<corvane::ShareableContent>(std::move(*content)), std::nullopt);
}

std::unique_ptr<corvane::StreamConfiguration> PulseCapturePlatform::makeStreamConfiguration() {
  return std::make_unique<corvane::StreamConfiguration>();
}

std::shared_ptr<corvane::CaptureStream> PulseCapturePlatform::makeStream(
    const corvane::ContentFilter& filter, const corvane::StreamConfiguration& configuration,
    corvane::StreamDelegate& delegate) {
  const auto* sink = dynamic_cast<const SinkDisplay*>(filter.display.get());
  auto connection = parts_->link.connection();
  if (sink == nullptr || !connection) {
    return std::make_shared<RefusedStream>("The display is not one of the audio server's sinks");
  }
  return std::make_shared<PulseCaptureStream>(**connection, sink->monitorSourceName(),
                                              configuration, delegate);
}

corvane::DeliveryQueue& PulseCapturePlatform::sampleHandlerQueue() {
  return parts_->deliveryThread;
}

void PulseCapturePlatform::startDetachedTask(std::function<void()> task) {
  std::thread(std::move(task)).detach();
}

corvane::OutputStream& PulseCapturePlatform::standardOutput() { return parts_->standardOutput; }

pcm::ProcessControl& PulseCapturePlatform::process() { return parts_->process; }

}  // namespace pulse
