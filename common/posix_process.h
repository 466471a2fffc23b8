// ProcessControl for a real POSIX process.
#pragma once

#include "common/process_control.h"

namespace pcm {

class PosixProcess final : public ProcessControl {
 public:
  void writeDiagnostic(std::string_view text) override;
  void installSignalHandlers(std::string_view sigtermLine, std::string_view sigintLine) override;
  void parkMainThread() override;
  [[noreturn]] void exitProcess(int status) override;
};

}  // namespace pcm
