#include <unistd.h>

#include <string>
#include <vector>

#include "common/posix_process.h"
#include "common/standard_descriptors.h"
#include "microphone/velloc.h"
#include "platform/pulse/pulse_microphone_platform.h"

int main(int argc, char** argv) {
  pcm::holdStopSignals();
  pcm::occupyClosedStandardDescriptors();
  // Never destroyed: audio threads use all of it until _exit, so no destructor may run under them.
  auto* process = new pcm::PosixProcess;
  auto* platform = new pulse::PulseMicrophonePlatform(*process);
  auto* state = new velloc::VellocState;
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const int status = velloc::runVelloc(*state, *platform, args);
  process->exitProcess(status);
}
