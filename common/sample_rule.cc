#include "common/sample_rule.h"

#include <bit>
#include <cstring>

namespace pcm {

void encodePcm16le(const float* samples, std::size_t n, std::byte* out) {
  if constexpr (std::endian::native == std::endian::little) {
    // Converting in blocks into an aligned local array keeps the loop a plain
    // float-to-int16 map, which the compiler turns into vector code.
    constexpr std::size_t kBlock = 256;
    alignas(32) int16_t block[kBlock];
    for (std::size_t done = 0; done < n; done += kBlock) {
      const std::size_t count = n - done < kBlock ? n - done : kBlock;
      const float* in = samples + done;
      for (std::size_t i = 0; i < count; ++i) block[i] = sampleFromFloat(in[i]);
      std::memcpy(out + 2 * done, block, 2 * count);
    }
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      const auto v = static_cast<uint16_t>(sampleFromFloat(samples[i]));
      out[2 * i] = static_cast<std::byte>(v & 0xFF);
      out[2 * i + 1] = static_cast<std::byte>(v >> 8);
    }
  }
}

}  // namespace pcm
