#include "common/posix_process.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "common/bounded_stderr.h"
#include "common/line_escape.h"

namespace pcm {
namespace {

// Set before the handlers are installed, then only read. Never freed: the process ends by _exit.
const std::string* gSigtermLine = nullptr;
const std::string* gSigintLine = nullptr;

// Set by the first ending, a stop signal or exitProcess; every later one waits for its _exit.
std::atomic_flag gStopping = ATOMIC_FLAG_INIT;
// Held while a line goes out, only with stop signals blocked: a handler never waits on its thread.
std::atomic<bool> gWritingLine{false};

// Standard error may be a pipe nobody reads: a line is dropped after this long, and waits at most
// this long for another, so a stop signal is held back, and its handler runs, twice this at most.
constexpr int kLineMilliseconds = 50;

[[noreturn]] void waitForTheOtherEnding() {
  for (;;) pause();
}

sigset_t stopSignals() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  return stops;
}

// Takes gWritingLine; false after `milliseconds` of another line holding it. Async-signal-safe.
bool takeLineWithin(int milliseconds) {
  constexpr timespec kStep{0, 1'000'000};
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (gWritingLine.exchange(true, std::memory_order_acquire)) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long waited =
        (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1'000'000;
    if (waited >= milliseconds) return false;
    nanosleep(&kStep, nullptr);
  }
  return true;
}

extern "C" void stopOnSignal(int signo) {
  // Two signals landing on two threads at once must still give one line.
  if (gStopping.test_and_set()) waitForTheOtherEnding();
  // A line being written goes out whole first, and none follows; both waits are bounded.
  takeLineWithin(kLineMilliseconds);
  const std::string* line = signo == SIGTERM ? gSigtermLine : gSigintLine;
  if (line != nullptr) writeStderrWithin(line->data(), line->size(), kLineMilliseconds);
  _exit(0);
}

void install(int signo) {
  struct sigaction action {};
  action.sa_handler = stopOnSignal;
  // The other stop signal waits, so that there is one line; SIGPIPE waits, so that a write on the
  // way out (a sanitizer's note at _exit) cannot end the process when standard error is gone.
  action.sa_mask = stopSignals();
  sigaddset(&action.sa_mask, SIGPIPE);
  action.sa_flags = SA_RESTART;
  sigaction(signo, &action, nullptr);
}

}  // namespace

void holdStopSignals() {
  const sigset_t stops = stopSignals();
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
}

PosixProcess::PosixProcess() { prepareBoundedStderr(); }

// Once the process is ending, a line would land after the stop line: its thread waits instead.
void PosixProcess::writeDiagnostic(std::string_view text) {
  const bool ended = text.ends_with('\n');
  if (ended) text.remove_suffix(1);
  std::string line = escapeForLine(text);
  if (ended) line += '\n';

  const sigset_t stops = stopSignals();
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &stops, &previous);
  if (takeLineWithin(kLineMilliseconds)) {
    if (!gStopping.test()) writeStderrWithin(line.data(), line.size(), kLineMilliseconds);
    gWritingLine.store(false, std::memory_order_release);
  }
  if (gStopping.test()) waitForTheOtherEnding();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void PosixProcess::installSignalHandlers(std::string_view sigtermLine,
                                         std::string_view sigintLine) {
  gSigtermLine = new std::string(sigtermLine);
  gSigintLine = new std::string(sigintLine);
  install(SIGTERM);
  install(SIGINT);
  // Held since main began, or by the parent; one that arrived meanwhile is handled now.
  const sigset_t stops = stopSignals();
  pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
}

void PosixProcess::parkMainThread() {
  for (;;) pause();
}

void PosixProcess::exitProcess(int status) {
  // A stop signal already writing its line decides the status. Blocked first: one handled on this
  // thread after the flag is set would wait here for good.
  holdStopSignals();
  if (gStopping.test_and_set()) waitForTheOtherEnding();
  _exit(status);
}

}  // namespace pcm
