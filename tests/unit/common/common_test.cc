#include <gtest/gtest.h>

#include <cstring>

#include "common/line_escape.h"
#include "common/number_format.h"
#include "common/sample_rule.h"
#include "tests/unit/common/sample_rule_table.h"

namespace pcm::test {
namespace {

using namespace std::string_literals;

std::string encode(const std::vector<float>& samples) {
  std::string out(2 * samples.size(), '\0');
  encodePcm16le(samples.data(), samples.size(), reinterpret_cast<std::byte*>(out.data()));
  return out;
}

// The encoder takes vector paths with a scalar tail; every class of float bit
// pattern (NaN payloads, denormals, infinities, both zeros) must come out as
// the scalar rule says, and the rule itself as its table.
TEST(SampleRule, EncoderAgreesWithTheRuleOverTheWholeFloatRange) {
  for (const auto& [in, out] : kRule) EXPECT_EQ(sampleFromFloat(in), out) << in;
  EXPECT_EQ(encode(ruleInputs()), ruleBytes());
  std::vector<float> in;
  for (uint64_t bits = 0; bits <= 0xFFFFFFFFull; bits += 4093) {  // a prime step
    const auto pattern = static_cast<uint32_t>(bits);
    std::memcpy(&in.emplace_back(), &pattern, sizeof pattern);
  }
  const std::string out = encode(in);
  for (std::size_t i = 0; i < in.size(); ++i) {
    int16_t got;
    std::memcpy(&got, &out[2 * i], 2);
    ASSERT_EQ(got, sampleFromFloat(in[i])) << i;
  }
}

TEST(EscapeForLine, KeepsTextAndWritesControlsAndInvalidBytesPrintably) {
  const std::pair<std::string, std::string> table[] = {
      {"USB Mic (2) \\ Café – 🎤", "USB Mic (2) \\ Café – 🎤"},
      {"a\nb\rc\td\0"s, "a\\nb\\rc\\td\\x00"},
      {"\x1b[31m\x7f", "\\x1b[31m\\x7f"},
      {"\xc2\x85 \xc2\x9b \xc2\xa0", "\\u0085 \\u009b \xc2\xa0"},
      {"\xe2\x80\xa8\xe2\x80\xa9", "\\u2028\\u2029"},
      // Invalid UTF-8: stray, truncated, overlong, surrogate, past U+10FFFF.
      {"\xff\x80 \xc3", "\\xff\\x80 \\xc3"},
      {"\xc3(\xe2\x82", "\\xc3(\\xe2\\x82"},
      {"\xc0\xaf \xe0\x80\xaf", "\\xc0\\xaf \\xe0\\x80\\xaf"},
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},
      {"\xf4\x90\x80\x80 \xf4\x8f\xbf\xbf", "\\xf4\\x90\\x80\\x80 \xf4\x8f\xbf\xbf"},
  };
  for (const auto& [in, out] : table) EXPECT_EQ(escapeForLine(in), out) << in;
}

TEST(FormatDouble, ShortestRoundTripWithWholeNumbersMarked) {
  const std::pair<double, const char*> table[] = {
      {16000.0, "16000.0"}, {16000.5, "16000.5"}, {-0.0, "-0.0"}, {-48000.0, "-48000.0"},
      {1e300, "1e+300"},    {kNaN, "nan"},        {kInf, "inf"}};
  for (const auto& [value, text] : table) EXPECT_EQ(formatDouble(value), text);
}

}  // namespace
}  // namespace pcm::test
