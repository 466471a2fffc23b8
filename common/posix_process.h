#pragma once

#include "common/process_control.h"

namespace pcm {

// Blocks SIGINT and SIGTERM in this thread and those it starts until installSignalHandlers. Called
// first in main: a stop during start-up then waits for its handler instead of taking its default
// action, or being dropped when the parent left SIGINT ignored.
void holdStopSignals();

class PosixProcess final : public ProcessControl {
 public:
  PosixProcess();
  // Escapes all of `text` but a final '\n' (see line_escape.h).
  void writeDiagnostic(std::string_view text) override;
  void installSignalHandlers(std::string_view sigtermLine, std::string_view sigintLine) override;
  void parkMainThread() override;
  [[noreturn]] void exitProcess(int status) override;
};

}  // namespace pcm
