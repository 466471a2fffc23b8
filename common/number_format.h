#pragma once

#include <string>

namespace pcm {

// Shortest decimal form that reads back to the same double, with ".0" appended to a whole number
// (16000.0, 44100.0, 16000.5, -0.0, nan, inf).
std::string formatDouble(double value);

}  // namespace pcm
