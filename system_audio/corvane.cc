#include "system_audio/corvane.h"

#include <memory>

#include "system_audio/corvane_lines.h"

namespace corvane {

void runStartupTask(SystemAudioCapturer& capturer, pcm::ProcessControl& process) {
  if (auto error = capturer.start()) {
    end(process, lines::kStartFailed, {error->localizedDescription});
  }
}

int runCorvane(CapturePlatform& platform) {
  pcm::ProcessControl& process = platform.process();
  process.installSignalHandlers(lines::kSigterm.text, lines::kSigint.text);
  // The main thread's reference lasts until it is released, which a real process never is: the
  // stream's threads call the capturer until the process ends.
  auto capturer = std::make_shared<SystemAudioCapturer>(platform);
  platform.startDetachedTask([capturer, &process] { runStartupTask(*capturer, process); });
  process.parkMainThread();
  return 0;
}

}  // namespace corvane
