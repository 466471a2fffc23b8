#include "common/output_stream.h"

#include "common/fd_write.h"

namespace pcm {

int DescriptorOutput::write(std::span<const std::byte> bytes) {
  return writeAll(fd_, bytes.data(), bytes.size());
}

}  // namespace pcm
