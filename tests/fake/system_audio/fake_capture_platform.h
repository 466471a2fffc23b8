// An in-memory capture platform for corvane's unit tests. It records what the
// logic asks of it, answers completions the way a test chooses, and turns the
// end of the process into a ProcessExit exception.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "system_audio/capture_platform.h"

namespace corvane::fake {

// Thrown where the real process would end.
struct ProcessExit {
  int status;
};

// stderr lines and stdout writes in the order they happened.
class Journal {
 public:
  void add(std::string entry);
  std::vector<std::string> entries() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> entries_;
};

class FakeProcess final : public pcm::ProcessControl {
 public:
  explicit FakeProcess(Journal& journal) : journal_(journal) {}
  void writeDiagnostic(std::string_view text) override;
  void installSignalHandlers(std::string_view sigtermLine, std::string_view sigintLine) override;
  void parkMainThread() override { ++parkCount; }
  [[noreturn]] void exitProcess(int status) override { throw ProcessExit{status}; }

  std::string standardError() const;
  std::string sigtermLine, sigintLine;
  int parkCount = 0;

 private:
  Journal& journal_;
  mutable std::mutex mutex_;
  std::string standardError_;
};

class FakeOutputStream final : public OutputStream {
 public:
  explicit FakeOutputStream(Journal& journal) : journal_(journal) {}
  // Journals "stdout N" for a write of N bytes.
  int write(std::span<const std::byte> bytes) override;

  std::vector<std::vector<std::byte>> writes;
  std::vector<std::byte> bytes() const;
  int failWith = 0;  // an errno to return instead of writing

 private:
  Journal& journal_;
};

class FakeDisplay final : public Display {
 public:
  explicit FakeDisplay(uint32_t id) : id_(id) {}
  uint32_t displayID() const override { return id_; }

 private:
  uint32_t id_;
};

// Journals every setter call as "name(value)", in call order.
class RecordingStreamConfiguration final : public StreamConfiguration {
 public:
  explicit RecordingStreamConfiguration(std::vector<std::string>& calls) : calls_(calls) {}
  void setWidth(std::size_t width) override;
  void setHeight(std::size_t height) override;
  void setMinimumFrameInterval(CMTime interval) override;
  void setCapturesAudio(bool captures) override;
  void setSampleRate(int64_t rate) override;
  void setChannelCount(int64_t count) override;
  void setExcludesCurrentProcessAudio(bool excludes) override;

 private:
  std::vector<std::string>& calls_;
};

class FakeQueue final : public DeliveryQueue {};

class FakeStream final : public CaptureStream {
 public:
  struct AddedOutput {
    StreamOutput* output;
    StreamOutputType type;
    DeliveryQueue* queue;
  };
  enum class StartAnswer { succeed, fail };

  FakeStream(ContentFilter filter, StreamConfiguration configuration, StreamDelegate& delegate)
      : filter(std::move(filter)), configuration(configuration), delegate(delegate) {}

  std::optional<PlatformError> addStreamOutput(StreamOutput& output, StreamOutputType type,
                                               DeliveryQueue& queue) override;
  void startCapture(std::function<void(std::optional<PlatformError>)> completion) override;

  // Hands `buffer` to every output added for `type`, on the calling thread.
  void deliver(const SampleBuffer& buffer, StreamOutputType type);

  const ContentFilter filter;
  const StreamConfiguration configuration;  // as it was when the stream was made
  StreamDelegate& delegate;
  std::vector<AddedOutput> outputs;
  std::optional<PlatformError> addOutputError;
  StartAnswer startAnswer = StartAnswer::succeed;
  std::string startError;
  int startCalls = 0;
  // Runs a completion the way the platform chose (now, or later on its thread).
  std::function<void(std::function<void()>)> answer;
};

class FakeCapturePlatform final : public CapturePlatform {
 public:
  // `twice` answers with the content, then again with an error.
  enum class ContentAnswer { content, error, neither, drop, twice };

  FakeCapturePlatform() : process_(journal), output_(journal) {}
  ~FakeCapturePlatform() override;

  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           ShareableContentCompletion completion) override;
  std::unique_ptr<StreamConfiguration> makeStreamConfiguration() override;
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration,
                                            StreamDelegate& delegate) override;
  DeliveryQueue& sampleHandlerQueue() override { return queue; }
  void startDetachedTask(std::function<void()> task) override { tasks.push_back(std::move(task)); }
  OutputStream& standardOutput() override { return output_; }
  pcm::ProcessControl& process() override { return process_; }

  FakeProcess& fakeProcess() { return process_; }
  FakeOutputStream& fakeOutput() { return output_; }
  FakeStream& onlyStream();  // the one stream made; fails the test otherwise

  Journal journal;
  ContentAnswer contentAnswer = ContentAnswer::content;
  std::vector<std::shared_ptr<const Display>> displays{std::make_shared<FakeDisplay>(7)};
  std::string contentError = "no permission";
  std::vector<std::pair<bool, bool>> contentRequests;
  // Completions run on a thread of the platform's own after a short pause,
  // as a real service answers, instead of inside the call.
  bool answerLater = false;
  std::vector<std::string> configurationCalls;
  std::vector<std::shared_ptr<FakeStream>> streams;
  // Copied into every stream made.
  std::optional<PlatformError> addOutputError;
  FakeStream::StartAnswer startAnswer = FakeStream::StartAnswer::succeed;
  std::string startError = "capture refused";
  std::vector<std::function<void()>> tasks;
  FakeQueue queue;

 private:
  void answer(std::function<void()> completion);

  std::vector<std::thread> answerThreads_;
  FakeProcess process_;
  FakeOutputStream output_;
};

}  // namespace corvane::fake
