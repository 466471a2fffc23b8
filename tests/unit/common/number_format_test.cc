#include "common/number_format.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(FormatDouble, ShortestRoundTripWithWholeNumbersMarked) {
  const std::pair<double, const char*> table[] = {{16000.0, "16000.0"},
                                                  {44100.0, "44100.0"},
                                                  {16000.5, "16000.5"},
                                                  {0.0, "0.0"},
                                                  {-0.0, "-0.0"},
                                                  {0.1, "0.1"},
                                                  {-48000.0, "-48000.0"},
                                                  {1e300, "1e+300"},
                                                  {std::numeric_limits<double>::quiet_NaN(), "nan"},
                                                  {std::numeric_limits<double>::infinity(), "inf"}};
  for (const auto& [value, text] : table) EXPECT_EQ(pcm::formatDouble(value), text);
}

}  // namespace
