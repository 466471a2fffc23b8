#pragma once

#include "system_audio/capture_platform.h"
#include "system_audio/system_audio_capturer.h"

namespace corvane {

// Returns the exit status when the main thread is released; every other end goes through the
// platform's process.
int runCorvane(CapturePlatform& platform);

void runStartupTask(SystemAudioCapturer& capturer, pcm::ProcessControl& process);

}  // namespace corvane
