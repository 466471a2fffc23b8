#include <string>

#include "microphone/velloc.h"
#include "microphone/velloc_lines.h"

namespace velloc {

void EngineEvents::serverUnreachable(const PlatformError& error) {
  say(process_, lines::kServerUnreachable, {error.localizedDescription});
}

void EngineEvents::engineFailed(const PlatformError& error) {
  end(process_, lines::kStreamFailed, {error.localizedDescription});
}

void EngineEvents::inputChanged(const std::string& description) {
  say(process_, lines::kInputChanged, {description});
}

void EngineEvents::audioLost(uint64_t milliseconds) {
  say(process_, lines::kServerDropped, {std::to_string(milliseconds)});
}

}  // namespace velloc
