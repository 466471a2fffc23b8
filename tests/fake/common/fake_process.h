// The process a tool runs in, as a test sees it from outside: everything the
// tool does to it, in order, and how it ends. Both tools' fake platforms use it
// as their process and their standard output.
#pragma once

#include <signal.h>

#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/output_stream.h"
#include "common/process_control.h"

namespace pcm::fake {

using Lines = std::vector<std::string>;

// Thrown where the real process would end.
struct ProcessExit {
  int status;
};

// Runs `action`; the status it ended the process with, or none when it returned.
template <typename Action>
std::optional<int> exitStatusOf(Action&& action) {
  try {
    action();
  } catch (const ProcessExit& exit) {
    return exit.status;
  }
  return std::nullopt;
}

// The transcript holds, in order: each diagnostic write as its text, each
// standard-output write as "stdout N bytes", the process calls by name, and
// the notes the fake platforms add about the calls made of them.
class FakeProcess final : public ProcessControl, public OutputStream {
 public:
  void writeDiagnostic(std::string_view text) override {
    std::lock_guard lock(mutex_);
    stderr_ += text;
    transcript_.emplace_back(text);
  }
  void installSignalHandlers(std::string_view sigtermLine, std::string_view sigintLine) override {
    sigtermLine_ = sigtermLine;
    sigintLine_ = sigintLine;
    note("installSignalHandlers");
  }
  // Runs `onPark` (what happens while the main thread waits), then returns as a
  // main loop that stopped would.
  void parkMainThread() override {
    note("parkMainThread");
    if (onPark) onPark();
  }
  [[noreturn]] void exitProcess(int status) override { throw ProcessExit{status}; }
  int write(std::span<const std::byte> bytes) override {
    note("stdout " + std::to_string(bytes.size()) + " bytes");
    if (failWith != 0) return failWith;
    std::lock_guard lock(mutex_);
    stdout_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return 0;
  }

  // A stop signal arriving now: the installed handler's line and status 0, or
  // the default action when no handler is installed.
  [[noreturn]] void deliverSignal(int signo) {
    const std::string& line = signo == SIGTERM ? sigtermLine_ : sigintLine_;
    if (line.empty()) throw ProcessExit{128 + signo};
    writeDiagnostic(line);
    throw ProcessExit{0};
  }
  void note(std::string entry) {
    std::lock_guard lock(mutex_);
    transcript_.push_back(std::move(entry));
  }
  void clear() {
    std::lock_guard lock(mutex_);
    transcript_.clear();
    stderr_.clear();
    stdout_.clear();
  }

  std::vector<std::string> transcript() const { return locked(transcript_); }
  std::string stderrBytes() const { return locked(stderr_); }
  std::string stdoutBytes() const { return locked(stdout_); }

  std::function<void()> onPark;
  int failWith = 0;  // an errno that every standard-output write fails with

 private:
  template <typename T>
  T locked(const T& value) const {
    std::lock_guard lock(mutex_);
    return value;
  }

  mutable std::mutex mutex_;
  std::vector<std::string> transcript_;
  std::string stderr_, stdout_, sigtermLine_, sigintLine_;
};

}  // namespace pcm::fake
