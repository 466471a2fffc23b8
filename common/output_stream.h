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
  // Returns 0, or the errno that made the output fail for good.
  virtual int write(std::span<const std::byte> bytes) = 0;
  virtual int writeSilence(std::size_t bytes) = 0;
};

// 16 kHz 16-bit mono audio that never makes its caller wait for the reader: write() queues a copy,
// and a thread of its own writes the queue out. A reader more than `boundBytes` behind loses the
// oldest audio, which becomes silence of its length; once it has caught up, `fellBehind` says how
// many milliseconds went. A failed write of that thread comes back from every later write().
// Destruction waits until everything queued is written.
class QueuedOutput final : public OutputStream {
 public:
  // 20 MiB: more than ten minutes of audio.
  static constexpr std::size_t kDefaultBoundBytes = 20 << 20;
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
