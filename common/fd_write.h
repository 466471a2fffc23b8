#pragma once

#include <cstddef>

namespace pcm {

// Returns 0, or the errno that made the write fail for good. Async-signal-safe.
int writeAll(int fd, const void* data, std::size_t size);

}  // namespace pcm
