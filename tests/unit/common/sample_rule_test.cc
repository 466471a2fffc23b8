#include "common/sample_rule.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(SampleRule, MapsTheValueTable) {
  const struct {
    float in;
    int16_t out;
  } table[] = {
      {1.0f, 32767},   {-1.0f, -32767},   {0.5f, 16383},   {-0.5f, -16383}, {0.25f, 8191},
      {-0.25f, -8191}, {0.99999f, 32766}, {1.5f, 32767},   {2.0f, 32767},   {-2.0f, -32767},
      {-3.0f, -32767}, {kInf, 32767},     {-kInf, -32767}, {kNaN, 32767},   {-kNaN, 32767},
      {0.0f, 0},       {-0.0f, 0},        {0.00001f, 0},   {-0.00001f, 0},
  };
  for (const auto& row : table) EXPECT_EQ(pcm::sampleFromFloat(row.in), row.out) << row.in;
}

TEST(SampleRule, EncodesLittleEndianAcrossBlockBoundaries) {
  // Longer than one internal block, with the special values at its edges.
  std::vector<float> in(700);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = std::sin(0.01f * static_cast<float>(i));
  in[0] = 1.0f;
  in[255] = -1.0f;
  in[256] = kNaN;
  in[699] = -0.25f;
  std::vector<std::byte> out(2 * in.size());
  pcm::encodePcm16le(in.data(), in.size(), out.data());
  for (std::size_t i = 0; i < in.size(); ++i) {
    const auto v = static_cast<uint16_t>(pcm::sampleFromFloat(in[i]));
    ASSERT_EQ(out[2 * i], std::byte(v & 0xFF)) << i;
    ASSERT_EQ(out[2 * i + 1], std::byte(v >> 8)) << i;
  }
  EXPECT_EQ(out[0], std::byte{0xFF});
  EXPECT_EQ(out[1], std::byte{0x7F});
  EXPECT_EQ(out[2 * 699], std::byte{0x01});
  EXPECT_EQ(out[2 * 699 + 1], std::byte{0xE0});
}

}  // namespace

namespace {

// The encoder takes vector paths on capable machines; every float bit pattern
// class (NaNs with any payload, denormals, infinities, both zeros) must come out
// exactly as the scalar rule says.
TEST(SampleRule, EncoderAgreesWithTheRuleOverTheWholeFloatRange) {
  constexpr uint32_t kStep = 4093;  // prime, so every exponent and sign is visited
  std::vector<float> in;
  in.reserve((1ull << 32) / kStep + 1);
  for (uint64_t bits = 0; bits <= 0xFFFFFFFFull; bits += kStep) {
    const auto pattern = static_cast<uint32_t>(bits);
    float value;
    std::memcpy(&value, &pattern, sizeof value);
    in.push_back(value);
  }
  std::vector<std::byte> out(2 * in.size());
  pcm::encodePcm16le(in.data(), in.size(), out.data());
  for (std::size_t i = 0; i < in.size(); ++i) {
    const auto v = static_cast<uint16_t>(pcm::sampleFromFloat(in[i]));
    ASSERT_EQ(out[2 * i], std::byte(v & 0xFF)) << i;
    ASSERT_EQ(out[2 * i + 1], std::byte(v >> 8)) << i;
  }
}

}  // namespace
