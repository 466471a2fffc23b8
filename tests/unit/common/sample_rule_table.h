// The per-sample rule's value table, which every path from float samples to
// PCM must reproduce, as floats in and as the little-endian bytes out.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace pcm::test {

inline constexpr float kInf = std::numeric_limits<float>::infinity();
inline constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Limits, NaN of either sign, the infinities, and truncation toward zero.
inline const std::vector<std::pair<float, int16_t>> kRule = {
    {1.0f, 32767},  {-1.0f, -32767}, {0.5f, 16383}, {-0.5f, -16383}, {0.99999f, 32766},
    {1.5f, 32767},  {-3.0f, -32767}, {kInf, 32767}, {-kInf, -32767}, {kNaN, 32767},
    {-kNaN, 32767}, {-0.0f, 0},      {0.00001f, 0}, {-0.00001f, 0},
};

inline std::vector<float> ruleInputs() {
  std::vector<float> in;
  for (const auto& row : kRule) in.push_back(row.first);
  return in;
}

inline std::string ruleBytes() {
  std::string out;
  for (const auto& row : kRule) out += {char(row.second & 0xFF), char(uint16_t(row.second) >> 8)};
  return out;
}

}  // namespace pcm::test
