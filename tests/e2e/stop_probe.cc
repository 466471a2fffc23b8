// Installs the stop handlers and then idles, or with "busy" writes lines from
// two threads for as long as it runs. Says "ready" on standard output once its
// handlers are in. Used by the stop signal tests.
#include <unistd.h>

#include <string_view>
#include <thread>

#include "common/posix_process.h"

int main(int argc, char** argv) {
  static pcm::PosixProcess process;
  process.installSignalHandlers("stop: SIGTERM\n", "stop: SIGINT\n");
  process.writeDiagnostic("ready\tto stop\n");
  if (argc > 1 && std::string_view(argv[1]) == "busy") {
    for (int i = 0; i < 2; ++i) {
      std::thread([] {
        for (;;) process.writeDiagnostic("busy\n");
      }).detach();
    }
  }
  if (write(STDOUT_FILENO, "ready\n", 6) != 6) return 1;
  process.parkMainThread();
}
