#pragma once

#include <cstddef>

namespace pcm {

// A pipe or terminal gets a non-blocking open file description of its own: a line of up to PIPE_BUF
// bytes leaves whole or not at all, and the shared description keeps its flags. Call before any
// stop signal handler can run; later calls do nothing.
void prepareBoundedStderr();

// False when what was left after `limitMilliseconds` was dropped, or at once when the reader has
// gone (no SIGPIPE). Async-signal-safe.
bool writeStderrWithin(const char* data, std::size_t size, int limitMilliseconds);

}  // namespace pcm
