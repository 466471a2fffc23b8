// A failure of the platform under a tool, as both tools report it.
#pragma once

#include <string>

namespace pcm {

// Reported by its human-readable description.
struct PlatformError {
  std::string localizedDescription;
};

}  // namespace pcm
