#pragma once

#include <string_view>

namespace velloc {

// The same text under Unicode canonical equivalence: a precomposed letter equals the letter and its
// combining mark. Case, spacing and compatibility forms still count. A name that is not valid UTF-8
// only equals the very same bytes.
bool namesMatch(std::string_view a, std::string_view b);

}  // namespace velloc
