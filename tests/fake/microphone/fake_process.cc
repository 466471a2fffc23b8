#include "fake_process.h"

#include <signal.h>

namespace velloc::fake {

void FakeProcess::writeDiagnostic(std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.emplace_back(text);
}

void FakeProcess::installSignalHandlers(std::string_view sigtermLine, std::string_view sigintLine) {
  ++installCount;
  installedSigtermLine = sigtermLine;
  installedSigintLine = sigintLine;
}

void FakeProcess::parkMainThread() {
  ++parkCount;
  if (onPark) onPark();
  if (exitStatus) throw ProcessExit{*exitStatus};
}

void FakeProcess::exitProcess(int status) {
  exitStatus = status;
  throw ProcessExit{status};
}

bool FakeProcess::deliverSignal(int signo) {
  const bool handled = installCount > 0 && (signo == SIGINT || signo == SIGTERM);
  if (!handled) {
    killedBySignal = signo;
    return false;
  }
  writeDiagnostic(signo == SIGTERM ? installedSigtermLine : installedSigintLine);
  exitStatus = 0;
  return true;
}

std::string FakeProcess::stderrBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string all;
  for (const auto& call : calls_) all += call;
  return all;
}

std::vector<std::string> FakeProcess::diagnosticCalls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::vector<std::string> FakeProcess::lines() const {
  const std::string all = stderrBytes();
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < all.size()) {
    const std::size_t end = all.find('\n', start);
    const std::size_t stop = end == std::string::npos ? all.size() : end + 1;
    out.push_back(all.substr(start, stop - start));
    start = stop;
  }
  return out;
}

}  // namespace velloc::fake
