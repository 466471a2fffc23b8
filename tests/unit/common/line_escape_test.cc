#include "common/line_escape.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

using namespace std::string_literals;

TEST(EscapeForLine, KeepsTextAndWritesControlsAndInvalidBytesPrintably) {
  const std::pair<std::string, std::string> table[] = {
      // Ordinary text, accents, symbols and a backslash stay as they are.
      {"USB Mic (2) \\ x", "USB Mic (2) \\ x"},
      {"Café Mikrofon – Ärger 🎤 → 16kHz", "Café Mikrofon – Ärger 🎤 → 16kHz"},
      {""s, ""s},
      // Controls.
      {"a\nb\rc\td", "a\\nb\\rc\\td"},
      {"a\0b"s, "a\\x00b"},
      {"\x1b[31mred\x7f", "\\x1b[31mred\\x7f"},
      {"\xc2\x85 \xc2\x9b \xc2\xa0", "\\u0085 \\u009b \xc2\xa0"},
      {"a\xe2\x80\xa8"
       "b\xe2\x80\xa9",
       "a\\u2028b\\u2029"},
      // Invalid UTF-8: stray, truncated, overlong, surrogate, past U+10FFFF.
      {"\xff\x80", "\\xff\\x80"},
      {"\xc3", "\\xc3"},
      {"\xc3(\xe2\x82", "\\xc3(\\xe2\\x82"},
      {"\xc0\xaf \xe0\x80\xaf", "\\xc0\\xaf \\xe0\\x80\\xaf"},
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},
      {"\xf4\x90\x80\x80 \xf4\x8f\xbf\xbf", "\\xf4\\x90\\x80\\x80 \xf4\x8f\xbf\xbf"},
  };
  for (const auto& [in, out] : table) EXPECT_EQ(pcm::escapeForLine(in), out) << in;
}

}  // namespace
