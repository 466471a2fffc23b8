// Standard error as diagnostic lines reach it: a write either goes out within a
// bound or is dropped, so a pipe that nobody reads can never hold up a thread.
#pragma once

#include <cstddef>

namespace pcm {

// Prepares the descriptor lines go through. Where standard error is a pipe or a
// terminal, that is a non-blocking open file description of its own, so that a
// line of up to PIPE_BUF bytes leaves whole or not at all, and the description
// the process shares with others keeps its flags. Elsewhere it is descriptor 2
// itself. Call before any stop signal handler can run; later calls do nothing.
void prepareBoundedStderr();

// Writes `size` bytes to standard error, waiting at most `limitMilliseconds` in
// all for room; false when what was left then was dropped. A reader that has
// gone makes it false at once, and raises no SIGPIPE. Async-signal-safe.
bool writeStderrWithin(const char* data, std::size_t size, int limitMilliseconds);

}  // namespace pcm
