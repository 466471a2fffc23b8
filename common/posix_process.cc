#include "common/posix_process.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <time.h>
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

// Set by whichever ending comes first, a stop signal or exitProcess; every
// later one waits for the first one's _exit.
std::atomic_flag gStopping = ATOMIC_FLAG_INIT;
// Held while a line goes to standard error. A thread holds it only with the stop
// signals blocked, so a handler never waits for its own thread.
std::atomic_flag gWritingLine = ATOMIC_FLAG_INIT;

[[noreturn]] void waitForTheOtherEnding() {
  for (;;) pause();
}

void blockStopSignals(sigset_t& previous) {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, &previous);
}

// How long a stop waits for a line another thread is writing. Standard error
// may be a pipe that nobody reads; a stop must never hang on it.
constexpr long kLineWaitNanoseconds = 200'000'000;

long nanosecondsSince(const timespec& start) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - start.tv_sec) * 1'000'000'000L + (now.tv_nsec - start.tv_nsec);
}

extern "C" void stopOnSignal(int signo) {
  // Two signals landing on two threads at once must still give one line.
  if (gStopping.test_and_set()) waitForTheOtherEnding();
  // A line another thread is writing goes out whole before the stop line, and
  // none follows it: the stop line is the last. The wait is bounded, so a
  // writer stuck on a full pipe cannot keep the process alive.
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (gWritingLine.test_and_set(std::memory_order_acquire) &&
         nanosecondsSince(start) < kLineWaitNanoseconds) {
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

// Every line goes straight to the descriptor with no stdio buffer in between,
// so nothing needs flushing before _exit. Once the process is ending, lines
// from other threads would land after the stop line; those threads wait for
// the end instead.
void PosixProcess::writeDiagnostic(std::string_view text) {
  sigset_t previous;
  blockStopSignals(previous);
  while (gWritingLine.test_and_set(std::memory_order_acquire)) sched_yield();
  const bool ending = gStopping.test();
  if (!ending) writeAll(STDERR_FILENO, text.data(), text.size());
  gWritingLine.clear(std::memory_order_release);
  if (ending) waitForTheOtherEnding();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
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

void PosixProcess::exitProcess(int status) {
  // A stop signal that is already writing its line decides the status.
  if (gStopping.test_and_set()) waitForTheOtherEnding();
  _exit(status);
}

}  // namespace pcm
