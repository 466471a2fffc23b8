// ProcessControl for a real POSIX process.
#pragma once

#include "common/process_control.h"

namespace pcm {

// Blocks SIGINT and SIGTERM in the calling thread, and so in the threads it
// starts, until installSignalHandlers lets them in. The first thing main does:
// a stop signal during start-up then waits for its handler instead of taking
// its default action, or being dropped when the parent left SIGINT ignored.
void holdStopSignals();

class PosixProcess final : public ProcessControl {
 public:
  // Prepares standard error for bounded writes (see bounded_stderr.h).
  PosixProcess();
  // Escapes `text` with escapeForLine, all but a final '\n', and drops it when
  // standard error cannot take it within a short bound.
  void writeDiagnostic(std::string_view text) override;
  void installSignalHandlers(std::string_view sigtermLine, std::string_view sigintLine) override;
  void parkMainThread() override;
  [[noreturn]] void exitProcess(int status) override;
};

}  // namespace pcm
