#include "system_audio/system_audio_capturer.h"

#include <utility>

#include "system_audio/completion_wait.h"
#include "system_audio/corvane.h"

namespace corvane {
namespace {

using ContentResult =
    std::pair<std::shared_ptr<const ShareableContent>, std::optional<PlatformError>>;

}  // namespace

SystemAudioCapturer::SystemAudioCapturer(CapturePlatform& platform)
    : outputHandle(platform.standardOutput()), platform_(platform) {}

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
    pcm::ProcessControl& process = platform_.process();
    process.writeDiagnostic("Error: No displays found\n");
    process.exitProcess(1);
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

  stream = platform_.makeStream(filter, *configuration, *this);

  if (auto error =
          stream->addStreamOutput(*this, StreamOutputType::audio, platform_.sampleHandlerQueue())) {
    return error;
  }

  CompletionWait<std::optional<PlatformError>> startWait;
  stream->startCapture([resume = startWait.resumer()](std::optional<PlatformError> error) {
    resume(std::move(error));
  });
  std::optional<std::optional<PlatformError>> started = startWait.wait();
  if (!started) return PlatformError{"The capture start ended without an answer"};
  if (*started) return std::move(*started);

  platform_.process().writeDiagnostic("System audio capture started (16kHz mono PCM → stdout)\n");
  return std::nullopt;
}

void SystemAudioCapturer::didStopWithError(CaptureStream&, const PlatformError& error) {
  pcm::ProcessControl& process = platform_.process();
  process.writeDiagnostic("Stream stopped with error: " + error.localizedDescription + "\n");
  process.exitProcess(1);
}

}  // namespace corvane
