// An in-memory CapturePlatform for corvane's tests and fuzzer, which is also
// the one stream it makes, and sample buffers to hand the capturer.
#pragma once

#include <algorithm>
#include <cstring>
#include <thread>
#include <tuple>

#include "system_audio/capture_platform.h"
#include "tests/fake/common/fake_process.h"

namespace corvane::fake {

using namespace pcm::fake;

struct FakeDisplay final : Display {
  explicit FakeDisplay(uint32_t id) : id(id) {}
  uint32_t displayID() const override { return id; }
  uint32_t id;
};

// Data of which the last `missing` bytes cannot be copied: a copy that reaches
// them fails after copying the rest.
struct FakeBlock final : BlockBuffer {
  explicit FakeBlock(std::string held, std::size_t missing = 0) : held(held), missing(missing) {}
  std::size_t dataLength() const override { return held.size() + missing; }
  int32_t copyDataBytes(std::size_t offset, std::size_t length, void* to) const override {
    const std::size_t n = offset < held.size() ? std::min(length, held.size() - offset) : 0;
    if (n > 0) std::memcpy(to, held.data() + offset, n);
    return n == length ? 0 : -12780;
  }
  std::string held;
  std::size_t missing;
};

struct FakeSample final : SampleBuffer {
  FakeSample(const BlockBuffer* block, const FormatDescription* format) : b(block), f(format) {}
  const BlockBuffer* dataBuffer() const override { return b; }
  const FormatDescription* formatDescription() const override { return f; }
  const BlockBuffer* b;
  const FormatDescription* f;
};

class FakeCapturePlatform final : public CapturePlatform, public CaptureStream {
 public:
  // `twice` gives the content, then an error as well.
  enum class Answer { content, error, neither, drop, twice };

  ~FakeCapturePlatform() override {
    for (auto& thread : threads_) thread.join();
  }
  void getShareableContent(bool, bool, ShareableContentCompletion done) override {
    auto content = std::make_shared<ShareableContent>(ShareableContent{displays});
    if (answer == Answer::drop) return;
    reply([=, this] {
      if (answer == Answer::error) return done(nullptr, PlatformError{"refused"});
      done(answer == Answer::neither ? nullptr : content, std::nullopt);
      if (answer == Answer::twice) done(nullptr, PlatformError{"twice"});
    });
  }
  std::unique_ptr<StreamConfiguration> makeStreamConfiguration() override {
    return std::make_unique<StreamConfiguration>();
  }
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration,
                                            StreamDelegate& streamDelegate) override {
    made = {filter.display->displayID(), configuration.sampleRate(), configuration.channelCount()};
    delegate = &streamDelegate;
    return std::shared_ptr<CaptureStream>(std::shared_ptr<CaptureStream>(), this);
  }
  DeliveryQueue& sampleHandlerQueue() override { return queue; }
  void startDetachedTask(std::function<void()> task) override {
    proc.note("task");
    tasks.push_back(std::move(task));
  }
  OutputStream& standardOutput() override { return proc; }
  pcm::ProcessControl& process() override { return proc; }
  std::optional<PlatformError> addStreamOutput(StreamOutput& to, StreamOutputType type,
                                               DeliveryQueue& on) override {
    if (addError) return addError;
    output = type == StreamOutputType::audio && &on == &queue ? &to : nullptr;
    return std::nullopt;
  }
  void startCapture(std::function<void(std::optional<PlatformError>)> done) override {
    reply([=, this] { done(startError); });
  }

  FakeProcess proc;
  Answer answer = Answer::content;
  bool later = false;  // answers come from a thread of the platform's own, after a while
  std::vector<std::shared_ptr<const Display>> displays{std::make_shared<FakeDisplay>(7)};
  std::optional<PlatformError> addError, startError;
  std::tuple<uint32_t, int64_t, int64_t> made;  // display, sample rate, channels
  StreamDelegate* delegate = nullptr;
  StreamOutput* output = nullptr;
  DeliveryQueue queue;
  std::vector<std::function<void()>> tasks;

 private:
  void reply(std::function<void()> answer) {
    if (!later) return answer();
    threads_.emplace_back([answer] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      answer();
    });
  }
  std::vector<std::thread> threads_;
};

}  // namespace corvane::fake
