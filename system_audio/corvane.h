// corvane: captures the audio the whole system plays and writes it to standard
// output as 16 kHz mono signed 16-bit little-endian PCM.
#pragma once

#include "system_audio/capture_platform.h"
#include "system_audio/system_audio_capturer.h"

namespace corvane {

// The whole tool: installs the signal handlers, makes the capturer, starts the
// capture on a task of its own and parks the main thread. Returns the exit
// status when the main thread is released; every other end goes through the
// platform's process.
int runCorvane(CapturePlatform& platform);

// The start-up task: runs start() and ends the process with status 1 when it fails.
void runStartupTask(SystemAudioCapturer& capturer, pcm::ProcessControl& process);

}  // namespace corvane
