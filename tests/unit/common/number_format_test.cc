#include "common/number_format.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(FormatDouble, ShortestRoundTripWithWholeNumbersMarked) {
  EXPECT_EQ(pcm::formatDouble(16000.0), "16000.0");
  EXPECT_EQ(pcm::formatDouble(44100.0), "44100.0");
  EXPECT_EQ(pcm::formatDouble(16000.5), "16000.5");
  EXPECT_EQ(pcm::formatDouble(0.0), "0.0");
  EXPECT_EQ(pcm::formatDouble(-0.0), "-0.0");
  EXPECT_EQ(pcm::formatDouble(0.1), "0.1");
  EXPECT_EQ(pcm::formatDouble(-48000.0), "-48000.0");
  EXPECT_EQ(pcm::formatDouble(1e300), "1e+300");
  EXPECT_EQ(pcm::formatDouble(std::numeric_limits<double>::quiet_NaN()), "nan");
  EXPECT_EQ(pcm::formatDouble(std::numeric_limits<double>::infinity()), "inf");
}

}  // namespace
