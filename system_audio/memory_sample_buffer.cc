#include "system_audio/memory_sample_buffer.h"

#include <cstring>

namespace corvane {

int32_t MemoryBlockBuffer::copyDataBytes(std::size_t offset, std::size_t length,
                                         void* destination) const {
  if (offset > bytes_.size() || length > bytes_.size() - offset) return -1;
  if (length > 0) std::memcpy(destination, bytes_.data() + offset, length);
  return 0;
}

}  // namespace corvane
