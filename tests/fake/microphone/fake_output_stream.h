// Standard output that keeps every byte and counts the writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "microphone/audio_platform.h"

namespace velloc::fake {

class FakeOutputStream final : public OutputStream {
 public:
  int write(std::span<const std::byte> data) override {
    ++writeCount;
    if (failWithErrno != 0) return failWithErrno;
    writeSizes.push_back(data.size());
    for (const std::byte b : data) bytes.push_back(static_cast<uint8_t>(b));
    return 0;
  }

  std::vector<uint8_t> bytes;
  std::vector<std::size_t> writeSizes;  // successful writes only
  int writeCount = 0;                   // every attempt
  int failWithErrno = 0;                // nonzero: every write fails with it
};

}  // namespace velloc::fake
