// An in-memory capture platform for corvane's unit tests, which is also the one
// stream it makes. It answers completions the way a test chooses and notes each
// call the logic makes of it in the process transcript, beside the lines and
// bytes the tool writes.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "system_audio/capture_platform.h"
#include "tests/fake/common/fake_process.h"

namespace corvane::fake {

using namespace pcm::fake;

struct FakeDisplay final : Display {
  explicit FakeDisplay(uint32_t id) : id(id) {}
  uint32_t displayID() const override { return id; }
  uint32_t id;
};

class FakeCapturePlatform final : public CapturePlatform, public CaptureStream {
 public:
  // `twice` answers with the content, then again with an error.
  enum class ContentAnswer { content, error, neither, drop, twice };

  ~FakeCapturePlatform() override {
    for (auto& thread : answerThreads_) thread.join();
  }

  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           ShareableContentCompletion completion) override {
    processControl.note("getShareableContent(" + text(excludingDesktopWindows) + ", " +
                        text(onScreenWindowsOnly) + ")");
    auto content = std::make_shared<ShareableContent>(ShareableContent{displays});
    switch (contentAnswer) {
      case ContentAnswer::content:
        return answer([=] { completion(content, std::nullopt); });
      case ContentAnswer::error:
        return answer([completion, error = contentError] { completion(nullptr, error); });
      case ContentAnswer::neither:
        return answer([=] { completion(nullptr, std::nullopt); });
      case ContentAnswer::drop:
        return;
      case ContentAnswer::twice:
        return answer([=] {
          completion(content, std::nullopt);
          completion(nullptr, PlatformError{"answered twice"});
        });
    }
  }

  std::unique_ptr<StreamConfiguration> makeStreamConfiguration() override {
    return std::make_unique<StreamConfiguration>();
  }

  // The note holds everything the stream is made with, in the order of the
  // configuration's setters. The stream is the platform itself, not owned.
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& c,
                                            StreamDelegate& streamDelegate) override {
    const CMTime interval = c.minimumFrameInterval();
    const auto n = [](auto value) { return std::to_string(value); };
    processControl.note(
        "makeStream(display " + n(filter.display->displayID()) + " less " +
        n(filter.excludingWindows.size()) + " windows; width " + n(c.width()) + ", height " +
        n(c.height()) + ", minimumFrameInterval " + n(interval.value) + "/" +
        n(interval.timescale) + (interval.flags & kCMTimeFlagsValid ? "" : " invalid") + " epoch " +
        n(interval.epoch) + ", capturesAudio " + text(c.capturesAudio()) + ", sampleRate " +
        n(c.sampleRate()) + ", channelCount " + n(c.channelCount()) +
        ", excludesCurrentProcessAudio " + text(c.excludesCurrentProcessAudio()) + ")");
    delegate = &streamDelegate;
    return std::shared_ptr<CaptureStream>(std::shared_ptr<CaptureStream>(), this);
  }

  DeliveryQueue& sampleHandlerQueue() override { return queue; }
  void startDetachedTask(std::function<void()> task) override {
    processControl.note("startDetachedTask");
    tasks.push_back(std::move(task));
  }
  OutputStream& standardOutput() override { return processControl; }
  pcm::ProcessControl& process() override { return processControl; }

  std::optional<PlatformError> addStreamOutput(StreamOutput& output, StreamOutputType type,
                                               DeliveryQueue& onQueue) override {
    processControl.note(std::string("addStreamOutput(") +
                        (type == StreamOutputType::audio ? "audio" : "screen") +
                        (&onQueue == &queue ? ", handler queue)" : ", other queue)"));
    if (addOutputError) return addOutputError;
    outputs.emplace_back(&output, type);
    return std::nullopt;
  }
  void startCapture(std::function<void(std::optional<PlatformError>)> completion) override {
    processControl.note("startCapture");
    answer([completion, error = startError] { completion(error); });
  }

  FakeProcess processControl;
  ContentAnswer contentAnswer = ContentAnswer::content;
  std::vector<std::shared_ptr<const Display>> displays{std::make_shared<FakeDisplay>(7)};
  std::optional<PlatformError> contentError, addOutputError, startError;
  // Completions run on a thread of the platform's own after a short pause, as
  // a real service answers, instead of inside the call.
  bool answerLater = false;
  std::vector<std::function<void()>> tasks;
  DeliveryQueue queue;
  StreamDelegate* delegate = nullptr;
  std::vector<std::pair<StreamOutput*, StreamOutputType>> outputs;

 private:
  static std::string text(bool value) { return value ? "true" : "false"; }
  void answer(std::function<void()> completion) {
    if (!answerLater) return completion();
    answerThreads_.emplace_back([completion = std::move(completion)] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      completion();
    });
  }
  std::vector<std::thread> answerThreads_;
};

}  // namespace corvane::fake
