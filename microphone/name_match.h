// When two device names count as the same name.
#pragma once

#include <string_view>

namespace velloc {

// True when both names are the same text under Unicode canonical equivalence: a
// precomposed letter equals the letter followed by its combining mark. Case,
// spacing and compatibility forms still count. A name that is not valid UTF-8
// only equals the very same bytes.
bool namesMatch(std::string_view a, std::string_view b);

}  // namespace velloc
