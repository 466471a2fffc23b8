// A process that does nothing but write diagnostic lines from a second thread
// while its stop handlers are installed, so that a signal is bound to land in
// the middle of someone else's line. Used by the signal-storm test.
#include <thread>

#include "common/posix_process.h"

int main() {
  static pcm::PosixProcess process;
  process.installSignalHandlers("stop: SIGTERM\n", "stop: SIGINT\n");
  std::thread writer([] {
    for (;;) process.writeDiagnostic("busy\n");
  });
  writer.detach();
  process.parkMainThread();
}
