#include "platform/pulse/pulse_capture_platform.h"

#include <algorithm>
#include <mutex>
#include <thread>

#include "common/output_stream.h"
#include "common/posix_process.h"
#include "platform/pulse/pulse_capture_stream.h"
#include "platform/pulse/server_queries.h"

namespace pulse {
namespace {

// Never called through: each stream delivers on its own thread.
class DeliveryThread final : public corvane::DeliveryQueue {};

// A stream that could not be made: it refuses to start with the reason.
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
  std::mutex connecting;
  std::unique_ptr<PulseConnection> connection;  // set once, under `connecting`
  DeliveryThread deliveryThread;
  pcm::QueuedOutput standardOutput{process, ""};
  pcm::PosixProcess process;
};

PulseCapturePlatform::PulseCapturePlatform() : parts_(std::make_unique<Parts>()) {}
PulseCapturePlatform::~PulseCapturePlatform() = default;

void PulseCapturePlatform::getShareableContent(bool, bool,
                                               corvane::ShareableContentCompletion completion) {
  // Desktop and off-screen windows mean nothing here: a sink's monitor carries
  // all it plays.
  std::unique_lock connecting(parts_->connecting);
  if (!parts_->connection) {
    std::string reason;
    parts_->connection = PulseConnection::connect("corvane", kDefaultWait, reason);
    if (!parts_->connection) {
      connecting.unlock();
      completion(nullptr, corvane::PlatformError{reason});
      return;
    }
  }
  PulseConnection& connection = *parts_->connection;
  connecting.unlock();

  Answer<ServerInfo> server;
  Answer<std::vector<SinkInfo>> sinks;
  {
    auto held = connection.lock();
    server = queryServer(connection);
    if (server.value) sinks = listSinks(connection);
  }
  if (!server.value) return completion(nullptr, corvane::PlatformError{server.error});
  if (!sinks.value) return completion(nullptr, corvane::PlatformError{sinks.error});
  completion(
      std::make_shared<corvane::ShareableContent>(sinksAsDisplays(*server.value, *sinks.value)),
      std::nullopt);
}

std::unique_ptr<corvane::StreamConfiguration> PulseCapturePlatform::makeStreamConfiguration() {
  return std::make_unique<corvane::StreamConfiguration>();
}

std::shared_ptr<corvane::CaptureStream> PulseCapturePlatform::makeStream(
    const corvane::ContentFilter& filter, const corvane::StreamConfiguration& configuration,
    corvane::StreamDelegate& delegate) {
  const auto* sink = dynamic_cast<const SinkDisplay*>(filter.display.get());
  std::unique_lock connecting(parts_->connecting);
  if (sink == nullptr || !parts_->connection) {
    return std::make_shared<RefusedStream>("The display is not one of the audio server's sinks");
  }
  return std::make_shared<PulseCaptureStream>(*parts_->connection, sink->monitorSourceName(),
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
