#pragma once

#include <string>

namespace pcm {

struct PlatformError {
  std::string localizedDescription;
};

}  // namespace pcm
