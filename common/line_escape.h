#pragma once

#include <string>
#include <string_view>

namespace pcm {

// Text from outside, made unable to end a diagnostic line or start one: '\n', '\r', '\t' as "\n",
// "\r", "\t"; other C0 controls, DEL and bytes not part of valid UTF-8 as "\xHH"; C1 controls and
// U+2028, U+2029 as "\uHHHH". Everything else, the backslash included, is copied byte for byte.
std::string escapeForLine(std::string_view text);

}  // namespace pcm
