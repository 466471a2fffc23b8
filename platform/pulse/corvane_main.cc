// corvane: writes the audio the whole system plays to standard output as 16 kHz
// mono signed 16-bit little-endian PCM. Arguments are ignored.
#include "common/posix_process.h"
#include "common/standard_descriptors.h"
#include "platform/pulse/pulse_capture_platform.h"
#include "system_audio/corvane.h"

int main() {
  pcm::holdStopSignals();
  pcm::occupyClosedStandardDescriptors();
  // Never destroyed: the audio threads use it until the process ends, and the
  // process ends through _exit so that no destructor runs under them.
  auto* platform = new pulse::PulseCapturePlatform();
  const int status = corvane::runCorvane(*platform);
  platform->process().exitProcess(status);
}
