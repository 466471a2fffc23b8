#include "common/posix_process.h"
#include "common/standard_descriptors.h"
#include "platform/pulse/pulse_capture_platform.h"
#include "system_audio/corvane.h"

int main() {
  pcm::holdStopSignals();
  pcm::occupyClosedStandardDescriptors();
  // Never destroyed: audio threads use it until _exit, so no destructor may run under them.
  auto* platform = new pulse::PulseCapturePlatform();
  const int status = corvane::runCorvane(*platform);
  platform->process().exitProcess(status);
}
