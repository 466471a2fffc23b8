// What the tools need of their own process; tests substitute one that records everything.
#pragma once

#include <string_view>

namespace pcm {

class ProcessControl {
 public:
  virtual ~ProcessControl() = default;

  // Writes `text` to standard error as one unit, or drops it when it cannot leave soon. Usually a
  // whole line ending in '\n'; a line may also take consecutive calls.
  virtual void writeDiagnostic(std::string_view text) = 0;

  // Each signal writes its line (dropped like any that cannot leave soon) and ends the process with
  // status 0 at once, waiting for no other thread. Unblocks both in the calling thread. Called
  // before start-up, which can wait on the server for seconds.
  virtual void installSignalHandlers(std::string_view sigtermLine, std::string_view sigintLine) = 0;

  // Returning means the tool should end with status 0.
  virtual void parkMainThread() = 0;

  // After the lines written have left; no static destructors run: audio threads may still be live.
  [[noreturn]] virtual void exitProcess(int status) = 0;
};

}  // namespace pcm
