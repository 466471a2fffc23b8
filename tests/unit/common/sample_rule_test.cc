#include "common/sample_rule.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/unit/common/sample_rule_table.h"

namespace pcm::test {
namespace {

std::string encode(const std::vector<float>& samples) {
  std::string out(2 * samples.size(), '\0');
  encodePcm16le(samples.data(), samples.size(), reinterpret_cast<std::byte*>(out.data()));
  return out;
}

TEST(SampleRule, MapsTheValueTableAndEncodesItLowByteFirst) {
  for (const auto& [in, out] : kSampleRuleTable) EXPECT_EQ(sampleFromFloat(in), out) << in;
  EXPECT_EQ(encode(ruleTableInputs()), ruleTableBytes());
}

// The encoder takes vector paths on capable machines, with a scalar tail; every
// float bit pattern class (NaNs with any payload, denormals, infinities, both
// zeros) must come out exactly as the scalar rule says.
TEST(SampleRule, EncoderAgreesWithTheRuleOverTheWholeFloatRange) {
  constexpr uint32_t kStep = 4093;  // prime, so every exponent and sign is visited
  std::vector<float> in;
  for (uint64_t bits = 0; bits <= 0xFFFFFFFFull; bits += kStep) {
    const auto pattern = static_cast<uint32_t>(bits);
    std::memcpy(&in.emplace_back(), &pattern, sizeof pattern);
  }
  const std::string out = encode(in);
  for (std::size_t i = 0; i < in.size(); ++i)
    ASSERT_EQ(sampleAt(out, i), sampleFromFloat(in[i])) << i;
}

}  // namespace
}  // namespace pcm::test
