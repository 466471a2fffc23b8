// A tool's process and standard output as a test sees them from outside: one
// log of its diagnostics and of its writes ("stdout N"), the bytes it wrote,
// and the status it ended with.
#pragma once

#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/output_stream.h"
#include "common/process_control.h"

namespace pcm::fake {

using Lines = std::vector<std::string>;

// Thrown where the real process would end.
struct ProcessExit {
  int status;
};

// The status `action` ended the process with, or none when it returned.
template <typename Action>
std::optional<int> exitStatusOf(Action&& action) {
  try {
    action();
  } catch (const ProcessExit& exit) {
    return exit.status;
  }
  return std::nullopt;
}

class FakeProcess final : public ProcessControl, public OutputStream {
 public:
  void writeDiagnostic(std::string_view text) override { note(std::string(text)); }
  void installSignalHandlers(std::string_view, std::string_view) override {}
  void parkMainThread() override {}
  [[noreturn]] void exitProcess(int status) override { throw ProcessExit{status}; }
  int write(std::span<const std::byte> bytes) override {
    note("stdout " + std::to_string(bytes.size()));
    std::lock_guard lock(mutex_);
    out_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return 0;
  }
  int writeSilence(std::size_t bytes) override {
    const std::vector<std::byte> zeros(bytes);
    return write(zeros);
  }

  Lines log() const {
    std::lock_guard lock(mutex_);
    return log_;
  }
  std::string stdoutBytes() const {
    std::lock_guard lock(mutex_);
    return out_;
  }

 private:
  void note(std::string entry) {
    std::lock_guard lock(mutex_);
    log_.push_back(std::move(entry));
  }
  mutable std::mutex mutex_;
  Lines log_;
  std::string out_;
};

}  // namespace pcm::fake
