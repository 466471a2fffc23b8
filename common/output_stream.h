// Standard output as both tools write it: whole buffers, in order.
#pragma once

#include <cstddef>
#include <span>

namespace pcm {

class OutputStream {
 public:
  virtual ~OutputStream() = default;
  // Writes every byte, in order, before returning. Returns 0, or the errno that
  // made the output fail for good.
  virtual int write(std::span<const std::byte> bytes) = 0;
};

// An OutputStream on a file descriptor (standard output by default).
class DescriptorOutput final : public OutputStream {
 public:
  explicit DescriptorOutput(int fd = 1) : fd_(fd) {}
  int write(std::span<const std::byte> bytes) override;

 private:
  int fd_;
};

}  // namespace pcm
