#include "common/posix_process.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "common/fd_write.h"

namespace pcm {
namespace {

// Set once before the handlers are installed and never changed afterwards, so
// the handlers only read them. Never destroyed: the process ends with _exit.
const std::string* gSigtermLine = nullptr;
const std::string* gSigintLine = nullptr;

std::atomic_flag gStopping = ATOMIC_FLAG_INIT;

extern "C" void stopOnSignal(int signo) {
  // Two signals landing on two threads at once must still give one line: the
  // second handler waits for the first one's _exit.
  if (gStopping.test_and_set()) {
    for (;;) pause();
  }
  const std::string* line = signo == SIGTERM ? gSigtermLine : gSigintLine;
  if (line != nullptr) writeAll(STDERR_FILENO, line->data(), line->size());
  _exit(0);
}

void install(int signo) {
  struct sigaction action {};
  action.sa_handler = stopOnSignal;
  sigemptyset(&action.sa_mask);
  // Holding the other stop signal while one handler runs keeps the output to one line.
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  action.sa_flags = SA_RESTART;
  sigaction(signo, &action, nullptr);
}

}  // namespace

// Every line goes straight to the descriptor with no stdio buffer or lock in
// between: nothing needs flushing before _exit, and a signal handler writing its
// own line never waits for another thread.
void PosixProcess::writeDiagnostic(std::string_view text) {
  writeAll(STDERR_FILENO, text.data(), text.size());
}

void PosixProcess::installSignalHandlers(std::string_view sigtermLine,
                                         std::string_view sigintLine) {
  gSigtermLine = new std::string(sigtermLine);
  gSigintLine = new std::string(sigintLine);
  install(SIGTERM);
  install(SIGINT);
}

void PosixProcess::parkMainThread() {
  for (;;) pause();
}

void PosixProcess::exitProcess(int status) { _exit(status); }

}  // namespace pcm
