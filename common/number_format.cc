#include "common/number_format.h"

#include <charconv>

namespace pcm {

std::string formatDouble(double value) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value);
  std::string out(text, result.ptr);
  if (out.find_first_not_of("-0123456789") == std::string::npos) out += ".0";
  return out;
}

}  // namespace pcm
