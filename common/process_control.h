// What the tools need of their own process: diagnostic lines, the two stop
// signals, parking the main thread, and ending with a status. The real
// implementation is PosixProcess; tests substitute one that records everything.
#pragma once

#include <string_view>

namespace pcm {

class ProcessControl {
 public:
  virtual ~ProcessControl() = default;

  // Writes `text` to standard error as one unit, or drops it when standard error
  // cannot take it within a short time. Most callers pass a whole line ending in
  // '\n'; a line may also be made of consecutive calls.
  virtual void writeDiagnostic(std::string_view text) = 0;

  // SIGTERM then SIGINT: each writes its whole line to standard error (dropped
  // like any other line that cannot leave soon) and ends the process with status
  // 0 at once, without waiting for any other thread. Unblocks both signals in the
  // calling thread. The tools call it before start-up, which can wait on the
  // server for seconds.
  virtual void installSignalHandlers(std::string_view sigtermLine, std::string_view sigintLine) = 0;

  // Keeps the main thread parked while capture runs. Returning means the tool
  // should end with status 0.
  virtual void parkMainThread() = 0;

  // Ends the process with `status` once what was written to standard error has
  // left. Static destructors do not run: audio threads may still be live.
  [[noreturn]] virtual void exitProcess(int status) = 0;
};

}  // namespace pcm
