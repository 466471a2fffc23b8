// Whole-buffer writes to a file descriptor, safe to call from a signal handler.
#pragma once

#include <cstddef>

namespace pcm {

// Writes all `size` bytes, retrying partial writes and EINTR, and waiting for
// room when the descriptor is non-blocking. Returns 0, or the errno that made
// the write fail for good.
int writeAll(int fd, const void* data, std::size_t size);

}  // namespace pcm
