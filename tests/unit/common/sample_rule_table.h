// The per-sample rule's value table, which every path from float samples to PCM
// must reproduce, and how to read the little-endian bytes the paths write.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pcm::test {

inline constexpr float kInf = std::numeric_limits<float>::infinity();
inline constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Limits, NaN of either sign, the infinities, and truncation toward zero.
inline const std::vector<std::pair<float, int16_t>> kSampleRuleTable = {
    {1.0f, 32767},   {-1.0f, -32767},   {0.5f, 16383},   {-0.5f, -16383}, {0.25f, 8191},
    {-0.25f, -8191}, {0.99999f, 32766}, {1.5f, 32767},   {2.0f, 32767},   {-2.0f, -32767},
    {-3.0f, -32767}, {kInf, 32767},     {-kInf, -32767}, {kNaN, 32767},   {-kNaN, 32767},
    {0.0f, 0},       {-0.0f, 0},        {0.00001f, 0},   {-0.00001f, 0},
};

inline std::vector<float> ruleTableInputs() {
  std::vector<float> in;
  for (const auto& row : kSampleRuleTable) in.push_back(row.first);
  return in;
}

// The bytes the table's inputs must become, low byte first.
inline std::string ruleTableBytes() {
  std::string out;
  for (const auto& row : kSampleRuleTable) {
    const auto value = static_cast<uint16_t>(row.second);
    out += {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
  }
  return out;
}

// Sample `i` of little-endian 16-bit PCM.
inline int16_t sampleAt(std::string_view bytes, std::size_t i) {
  return static_cast<int16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                              static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
}

}  // namespace pcm::test
