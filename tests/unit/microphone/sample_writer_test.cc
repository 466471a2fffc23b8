// The bytes the writer puts on standard output.
#include <cmath>
#include <limits>

#include "velloc_test_support.h"

namespace velloc::fake {
namespace {

class Writer : public VellocTest {
 protected:
  Writer() { state.outputHandle = &platform.stdoutStream; }
  std::vector<uint8_t> bytesOf(const std::vector<float>& samples) {
    platform.stdoutStream.bytes.clear();
    writeInt16Samples(state, *makeFloatBuffer(16000.0, {samples}));
    return stdoutBytes();
  }
};

TEST_F(Writer, AppliesThePerSampleRuleLowByteFirst) {
  constexpr float inf = std::numeric_limits<float>::infinity();
  struct Case {
    std::vector<float> samples;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {{1.0f}, {0xFF, 0x7F}},
      {{-1.0f}, {0x01, 0x80}},
      {{0.25f, -0.25f}, {0xFF, 0x1F, 0x01, 0xE0}},
      {{0.5f}, {0xFF, 0x3F}},
      {{0.99999f}, {0xFE, 0x7F}},
      {{1.5f, -2.0f}, {0xFF, 0x7F, 0x01, 0x80}},
      {{std::nanf(""), inf, -inf}, {0xFF, 0x7F, 0xFF, 0x7F, 0x01, 0x80}},
      {{-0.00001f, 0.0f}, {0x00, 0x00, 0x00, 0x00}},
  };
  for (const Case& c : cases) EXPECT_EQ(bytesOf(c.samples), c.bytes) << c.samples[0];
}

TEST_F(Writer, EmptyOrNonFloatBuffersWriteNothingAtAll) {
  writeInt16Samples(state, *makeMonoBuffer(16000.0, 0));
  PcmBuffer ints({kCommonFormatInt16, 16000.0, 1, true}, 16);
  ints.setFrameLength(16);
  writeInt16Samples(state, ints);
  EXPECT_EQ(platform.stdoutStream.writeCount, 0);
}

TEST_F(Writer, OnlyChannelZeroIsWrittenFromPlanarOrInterleavedBuffers) {
  EXPECT_EQ(bytesOf({}), std::vector<uint8_t>{});
  platform.stdoutStream.bytes.clear();
  writeInt16Samples(state, *makeFloatBuffer(16000.0, {{1.0f, -1.0f}, {0.25f, 0.25f}}));
  EXPECT_EQ(stdoutBytes(), (std::vector<uint8_t>{0xFF, 0x7F, 0x01, 0x80}));

  PcmBuffer interleaved({kCommonFormatFloat32, 16000.0, 2, true}, 2);
  const float frames[] = {1.0f, 0.25f, -1.0f, 0.25f};
  std::copy(std::begin(frames), std::end(frames), interleaved.floatChannelData()[0]);
  interleaved.setFrameLength(2);
  platform.stdoutStream.bytes.clear();
  writeInt16Samples(state, interleaved);
  EXPECT_EQ(stdoutBytes(), (std::vector<uint8_t>{0xFF, 0x7F, 0x01, 0x80}));
}

// The byte buffer is kept between calls; a shorter buffer after a longer one
// must not carry any of the longer one's bytes.
TEST_F(Writer, EachBufferIsOneWriteOfExactlyTwoBytesPerFrame) {
  writeInt16Samples(state, *makeMonoBuffer(16000.0, 1600, 1.0f));
  writeInt16Samples(state, *makeMonoBuffer(16000.0, 3, -1.0f));
  writeInt16Samples(state, *makeMonoBuffer(16000.0, 5000, 0.0f));
  EXPECT_EQ(platform.stdoutStream.writeSizes, (std::vector<std::size_t>{3200, 6, 10000}));
  const std::vector<uint8_t> middle(stdoutBytes().begin() + 3200, stdoutBytes().begin() + 3206);
  EXPECT_EQ(middle, (std::vector<uint8_t>{0x01, 0x80, 0x01, 0x80, 0x01, 0x80}));
}

}  // namespace
}  // namespace velloc::fake
