// A process that records what the tool would do to its real process: the bytes
// of every diagnostic write, the signal handlers installed, and how it ends.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/process_control.h"

namespace velloc::fake {

// Thrown where the real process would end; carries the exit status.
struct ProcessExit {
  int status;
};

class FakeProcess final : public pcm::ProcessControl {
 public:
  void writeDiagnostic(std::string_view text) override;
  void installSignalHandlers(std::string_view sigtermLine, std::string_view sigintLine) override;
  // Runs `onPark`, then ends the "process" if a signal ended it meanwhile;
  // otherwise returns, as a main loop that stopped would.
  void parkMainThread() override;
  [[noreturn]] void exitProcess(int status) override;

  // What a SIGINT or SIGTERM does now: with handlers installed, the handler's
  // line and exit status 0; before that, the default action (recorded in
  // `killedBySignal`). Returns whether a handler ran.
  bool deliverSignal(int signo);

  std::string stderrBytes() const;
  // Each writeDiagnostic call's text, in order.
  std::vector<std::string> diagnosticCalls() const;
  // Standard error cut after each line feed.
  std::vector<std::string> lines() const;

  std::optional<int> exitStatus;
  std::optional<int> killedBySignal;
  int installCount = 0;
  std::string installedSigtermLine;
  std::string installedSigintLine;
  int parkCount = 0;
  std::function<void()> onPark;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
};

}  // namespace velloc::fake
