// A child process for tests: started with a given environment, its standard
// output read on demand through a pipe, its standard error collected in the
// background, and killed (by its own PID) if the test leaves it running.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace pulsetest {

using namespace std::chrono_literals;

// Variables to set in the child; an empty value removes the variable.
using Environment = std::map<std::string, std::string>;

class ChildProcess {
 public:
  struct Options {
    Environment environment;    // standard input is always /dev/null
    bool captureStdout = true;  // otherwise standard output goes to /dev/null
  };

  // Starts `argv[0]` (searched in PATH when it has no slash). Returns null when
  // it cannot be started.
  static std::unique_ptr<ChildProcess> start(const std::vector<std::string>& argv,
                                             const Options& options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Reads standard output until `bytes` more have arrived, the pipe closes, or
  // `timeout` passes; returns what arrived.
  std::vector<std::byte> readStdout(std::size_t bytes, std::chrono::milliseconds timeout);
  // Reads whatever standard output holds until it closes or `timeout` passes.
  std::vector<std::byte> readStdoutUntilClosed(std::chrono::milliseconds timeout);
  // The test stops reading: the child's next write meets a pipe without reader.
  void closeStdout();

  // Standard error so far.
  std::string stderrText();
  // Waits until standard error contains `text`; false on timeout or exit.
  bool waitForStderr(const std::string& text, std::chrono::milliseconds timeout);

  void sendSignal(int signo);
  // The raw wait status once the child has ended, or none after `timeout`.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout);
  // describeStatus of the exit, or kStillRunning after `timeout`.
  static constexpr int kStillRunning = 1000;
  int exitCode(std::chrono::milliseconds timeout);

 private:
  ChildProcess() = default;
  void collectStderr();

  pid_t pid_ = -1;
  int stdoutFd_ = -1;
  int stderrFd_ = -1;
  std::optional<int> status_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::string stderr_;
  bool stderrClosed_ = false;
  std::thread stderrReader_;
};

// Runs a command to completion; returns its exit code (-1 if it could not run or
// was killed) and its standard output.
int runCommand(const std::vector<std::string>& argv, const Environment& environment,
               std::string* output = nullptr,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Asks `done` every `interval` until it answers true; false after `attempts`.
template <typename Done>
bool pollUntil(Done done, int attempts, std::chrono::milliseconds interval = 20ms) {
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (done()) return true;
    std::this_thread::sleep_for(interval);
  }
  return false;
}

// Exit code of a normal exit, or -signal for a child killed by a signal.
int describeStatus(int waitStatus);

}  // namespace pulsetest
