#include "tests/fake/system_audio/fake_capture_platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

namespace corvane::fake {

void Journal::add(std::string entry) {
  std::lock_guard lock(mutex_);
  entries_.push_back(std::move(entry));
}

std::vector<std::string> Journal::entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

void Journal::clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

void FakeProcess::writeDiagnostic(std::string_view text) {
  {
    std::lock_guard lock(mutex_);
    standardError_ += text;
  }
  journal_.add("stderr " + std::string(text));
}

std::string FakeProcess::standardError() const {
  std::lock_guard lock(mutex_);
  return standardError_;
}

void FakeProcess::installSignalHandlers(std::string_view sigterm, std::string_view sigint) {
  sigtermLine = sigterm;
  sigintLine = sigint;
  journal_.add("signal handlers");
}

int FakeOutputStream::write(std::span<const std::byte> bytes) {
  journal_.add("stdout " + std::to_string(bytes.size()));
  if (failWith != 0) return failWith;
  writes.emplace_back(bytes.begin(), bytes.end());
  return 0;
}

std::vector<std::byte> FakeOutputStream::bytes() const {
  std::vector<std::byte> all;
  for (const auto& w : writes) all.insert(all.end(), w.begin(), w.end());
  return all;
}

void RecordingStreamConfiguration::setWidth(std::size_t width) {
  calls_.push_back("setWidth(" + std::to_string(width) + ")");
  StreamConfiguration::setWidth(width);
}
void RecordingStreamConfiguration::setHeight(std::size_t height) {
  calls_.push_back("setHeight(" + std::to_string(height) + ")");
  StreamConfiguration::setHeight(height);
}
void RecordingStreamConfiguration::setMinimumFrameInterval(CMTime interval) {
  calls_.push_back("setMinimumFrameInterval(" + std::to_string(interval.value) + "/" +
                   std::to_string(interval.timescale) +
                   (interval.flags & kCMTimeFlagsValid ? " valid" : " invalid") + " epoch " +
                   std::to_string(interval.epoch) + ")");
  StreamConfiguration::setMinimumFrameInterval(interval);
}
void RecordingStreamConfiguration::setCapturesAudio(bool captures) {
  calls_.push_back(std::string("setCapturesAudio(") + (captures ? "true" : "false") + ")");
  StreamConfiguration::setCapturesAudio(captures);
}
void RecordingStreamConfiguration::setSampleRate(int64_t rate) {
  calls_.push_back("setSampleRate(" + std::to_string(rate) + ")");
  StreamConfiguration::setSampleRate(rate);
}
void RecordingStreamConfiguration::setChannelCount(int64_t count) {
  calls_.push_back("setChannelCount(" + std::to_string(count) + ")");
  StreamConfiguration::setChannelCount(count);
}
void RecordingStreamConfiguration::setExcludesCurrentProcessAudio(bool excludes) {
  calls_.push_back(std::string("setExcludesCurrentProcessAudio(") + (excludes ? "true" : "false") +
                   ")");
  StreamConfiguration::setExcludesCurrentProcessAudio(excludes);
}

std::optional<PlatformError> FakeStream::addStreamOutput(StreamOutput& output,
                                                         StreamOutputType type,
                                                         DeliveryQueue& queue) {
  if (addOutputError) return addOutputError;
  outputs.push_back({&output, type, &queue});
  return std::nullopt;
}

void FakeStream::startCapture(std::function<void(std::optional<PlatformError>)> completion) {
  ++startCalls;
  switch (startAnswer) {
    case StartAnswer::succeed:
      answer([=] { completion(std::nullopt); });
      break;
    case StartAnswer::fail:
      answer([completion, error = startError] { completion(PlatformError{error}); });
      break;
  }
}

void FakeStream::deliver(const SampleBuffer& buffer, StreamOutputType type) {
  for (const auto& added : outputs) {
    if (added.type == type) added.output->didOutputSampleBuffer(*this, buffer, type);
  }
}

void FakeCapturePlatform::getShareableContent(bool excludingDesktopWindows,
                                              bool onScreenWindowsOnly,
                                              ShareableContentCompletion completion) {
  contentRequests.emplace_back(excludingDesktopWindows, onScreenWindowsOnly);
  auto content = std::make_shared<ShareableContent>();
  content->displays = displays;
  switch (contentAnswer) {
    case ContentAnswer::content:
      answer([=] { completion(content, std::nullopt); });
      break;
    case ContentAnswer::error:
      answer([completion, error = contentError] { completion(nullptr, PlatformError{error}); });
      break;
    case ContentAnswer::neither:
      answer([=] { completion(nullptr, std::nullopt); });
      break;
    case ContentAnswer::drop:
      break;
    case ContentAnswer::twice:
      answer([=] {
        completion(content, std::nullopt);
        completion(nullptr, PlatformError{"answered twice"});
      });
      break;
  }
}

void FakeCapturePlatform::answer(std::function<void()> completion) {
  if (!answerLater) {
    completion();
    return;
  }
  answerThreads_.emplace_back([completion = std::move(completion)] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    completion();
  });
}

FakeCapturePlatform::~FakeCapturePlatform() {
  for (auto& thread : answerThreads_) thread.join();
}

std::unique_ptr<StreamConfiguration> FakeCapturePlatform::makeStreamConfiguration() {
  return std::make_unique<RecordingStreamConfiguration>(configurationCalls);
}

std::shared_ptr<CaptureStream> FakeCapturePlatform::makeStream(
    const ContentFilter& filter, const StreamConfiguration& configuration,
    StreamDelegate& delegate) {
  auto stream = std::make_shared<FakeStream>(filter, configuration, delegate);
  stream->addOutputError = addOutputError;
  stream->startAnswer = startAnswer;
  stream->startError = startError;
  stream->answer = [this](std::function<void()> completion) { answer(std::move(completion)); };
  streams.push_back(stream);
  return stream;
}

FakeStream& FakeCapturePlatform::onlyStream() {
  EXPECT_EQ(streams.size(), 1u);
  if (streams.empty()) throw std::logic_error("no stream was made");
  return *streams.front();
}

}  // namespace corvane::fake
