// How text from outside (arguments, device names, server messages) appears
// inside a diagnostic line: it can never end the line early or start a new one.
#pragma once

#include <string>
#include <string_view>

namespace pcm {

// `text` with every control character and every byte that is not part of valid
// UTF-8 written out in printable form: '\n', '\r' and '\t' as the two characters
// "\n", "\r", "\t"; other C0 controls, DEL and invalid bytes as "\xHH"; C1
// controls and the Unicode line and paragraph separators as "\uHHHH". Everything
// else, the backslash included, is copied byte for byte.
std::string escapeForLine(std::string_view text);

}  // namespace pcm
