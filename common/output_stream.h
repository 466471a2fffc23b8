// Standard output as both tools write it: whole buffers, in order.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>

#include "common/diagnostic_line.h"
#include "common/process_control.h"

namespace pcm {

class OutputStream {
 public:
  virtual ~OutputStream() = default;
  // Writes every byte, in order. Returns 0, or the errno that made the output
  // fail for good.
  virtual int write(std::span<const std::byte> bytes) = 0;
  // Writes `bytes` of zeros, as write() would.
  virtual int writeSilence(std::size_t bytes) = 0;
};

// An OutputStream of 16 kHz 16-bit mono audio on a file descriptor (standard
// output by default) that never makes its caller wait for the reader: write()
// queues a copy and returns, and a thread of its own writes the queue out in
// order. A reader that falls more than `boundBytes` behind loses the oldest
// audio, whole samples only, which becomes silence of the same length (a count,
// not memory), so that what follows keeps its place in time; once the reader
// has caught up again, `fellBehind` through `process` says how many
// milliseconds went. An error of that thread's writes comes back from every later write().
// Destroying the stream waits until everything queued is written.
class QueuedOutput final : public OutputStream {
 public:
  // 20 MiB: more than ten minutes of audio.
  static constexpr std::size_t kDefaultBoundBytes = 20 << 20;
  // CAPTURE_OUTPUT_BOUND_BYTES when it holds a positive whole number, else the default.
  static std::size_t boundFromEnvironment();

  QueuedOutput(ProcessControl& process, Line fellBehind, int fd = 1,
               std::size_t boundBytes = kDefaultBoundBytes);
  ~QueuedOutput() override;
  int write(std::span<const std::byte> bytes) override;
  int writeSilence(std::size_t bytes) override;

 private:
  struct Queue;
  std::unique_ptr<Queue> queue_;
};

}  // namespace pcm
