#include "system_audio/system_audio_capturer.h"

#include <cstdint>
#include <limits>
#include <string>
#include <system_error>
#include <utility>

#include "common/number_format.h"
#include "common/timeline.h"
#include "system_audio/completion_wait.h"
#include "system_audio/corvane_lines.h"

namespace corvane {
namespace {

using ContentResult =
    std::pair<std::shared_ptr<const ShareableContent>, std::optional<PlatformError>>;

}  // namespace

SystemAudioCapturer::SystemAudioCapturer(CapturePlatform& platform)
    : output_(platform.standardOutput()), platform_(platform), timeline_(output_) {}

std::optional<PlatformError> SystemAudioCapturer::requestFirstDisplay(
    std::shared_ptr<const Display>& display) {
  CompletionWait<ContentResult> contentWait;
  platform_.getShareableContent(
      false, false,
      [resume = contentWait.resumer()](std::shared_ptr<const ShareableContent> content,
                                       std::optional<PlatformError> error) {
        resume({std::move(content), std::move(error)});
      });
  std::optional<ContentResult> result = contentWait.wait();
  if (!result) {
    return PlatformError{"The shareable content request ended without an answer"};
  }
  auto& [content, error] = *result;
  if (error) return std::move(error);
  if (!content) {
    return PlatformError{"The shareable content request returned neither content nor an error"};
  }

  if (content->displays.empty()) {
    end(platform_.process(), lines::kNoDisplays);
  }
  display = content->displays.front();
  return std::nullopt;
}

std::optional<PlatformError> SystemAudioCapturer::start() {
  std::shared_ptr<const Display> display;
  if (auto error = requestFirstDisplay(display)) return error;

  const ContentFilter filter{display, {}};

  std::unique_ptr<StreamConfiguration> configuration = platform_.makeStreamConfiguration();
  configuration->setWidth(2);
  configuration->setHeight(2);
  configuration->setMinimumFrameInterval(CMTimeMake(1, 1));
  configuration->setCapturesAudio(true);
  configuration->setSampleRate(static_cast<int64_t>(targetSampleRate));
  configuration->setChannelCount(static_cast<int64_t>(targetChannels));
  configuration->setExcludesCurrentProcessAudio(true);

  stream_ = platform_.makeStream(filter, *configuration, *this);

  if (auto error = stream_->addStreamOutput(*this, StreamOutputType::audio,
                                            platform_.sampleHandlerQueue())) {
    return error;
  }

  CompletionWait<std::optional<PlatformError>> startWait;
  stream_->startCapture([resume = startWait.resumer()](std::optional<PlatformError> error) {
    resume(std::move(error));
  });
  std::optional<std::optional<PlatformError>> started = startWait.wait();
  if (!started) return PlatformError{"The capture start ended without an answer"};
  if (*started) return std::move(*started);

  say(platform_.process(), lines::kStarted);
  return std::nullopt;
}

void SystemAudioCapturer::didStopWithError(CaptureStream&, const PlatformError& error) {
  end(platform_.process(), lines::kStreamStopped, {error.localizedDescription});
}

void SystemAudioCapturer::didSwitchOutput(CaptureStream&, const std::string& description) {
  say(platform_.process(), lines::kOutputSwitched, {description});
}

void SystemAudioCapturer::didLoseAudio(CaptureStream&, uint64_t milliseconds) {
  say(platform_.process(), lines::kServerDropped, {std::to_string(milliseconds)});
}

std::string streamFormatLine(const AudioStreamBasicDescription& description) {
  const auto truth = [](bool value) { return value ? "true" : "false"; };
  return pcm::fill(
      lines::kStreamFormat.text,
      {pcm::formatDouble(description.mSampleRate), std::to_string(description.mChannelsPerFrame),
       std::to_string(description.mBitsPerChannel),
       truth(description.mFormatFlags & kAudioFormatFlagIsFloat),
       truth(description.mFormatFlags & kAudioFormatFlagIsNonInterleaved),
       std::to_string(description.mBytesPerFrame)});
}

void SystemAudioCapturer::endOnOutputFailure(int error) {
  if (error == 0) return;
  // A reader that went away ends the process by SIGPIPE first; what is left (a full disk, an I/O
  // error) would lose every later buffer, so the tool stops rather than capture into nothing.
  end(platform_.process(), lines::kStdoutFailed, {std::generic_category().message(error)});
}

void SystemAudioCapturer::didOutputSampleBuffer(CaptureStream&, const SampleBuffer& sampleBuffer,
                                                StreamOutputType type) {
  if (type != StreamOutputType::audio) return;

  const BlockBuffer* block = sampleBuffer.dataBuffer();
  if (block == nullptr) return;
  const std::size_t length = block->dataLength();
  // Read in place when in one aligned piece, else copied into zeroed room: a failed copy leaves
  // zeros where nothing arrived, and the buffer goes on as it is.
  std::span<const std::byte> bytes = block->contiguousBytes();
  if (bytes.size() != length || reinterpret_cast<std::uintptr_t>(bytes.data()) % alignof(float)) {
    dataCopy_.assign((length + 3) / 4, 0.0f);
    block->copyDataBytes(0, length, dataCopy_.data());
    bytes = {reinterpret_cast<const std::byte*>(dataCopy_.data()), length};
  }

  const FormatDescription* format = sampleBuffer.formatDescription();
  if (format == nullptr) return;
  const AudioStreamBasicDescription* description = format->streamBasicDescription();
  if (description == nullptr) return;

  if (!loggedFormat_) {
    platform_.process().writeDiagnostic(streamFormatLine(*description));
    loggedFormat_ = true;
  }

  if ((description->mFormatFlags & kAudioFormatFlagIsFloat) == 0) {
    if (!bytes.empty()) endOnOutputFailure(output_.write(bytes));
    return;
  }

  // Every whole 4-byte group is one sample, whatever the channel layout.
  const std::size_t sampleCount = length / 4;
  if (sampleCount == 0) return;
  const CMTime heard = sampleBuffer.presentationTimeStamp();
  const double heardAt = (heard.flags & kCMTimeFlagsValid) != 0 && heard.timescale > 0
                             ? static_cast<double>(heard.value) / heard.timescale
                             : std::numeric_limits<double>::quiet_NaN();
  const int error = timeline_.push({reinterpret_cast<const float*>(bytes.data()), sampleCount},
                                   heardAt, sampleBuffer.discontinuity());
  if (!stamped_) {
    stamped_ = true;
    pcm::saySampleZero(platform_.process(), lines::kSampleZero, *timeline_.start());
  }
  endOnOutputFailure(error);
}

}  // namespace corvane
