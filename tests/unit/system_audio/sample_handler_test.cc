#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "system_audio/memory_sample_buffer.h"
#include "system_audio/system_audio_capturer.h"
#include "tests/fake/system_audio/fake_capture_platform.h"

namespace corvane {
namespace {

using fake::FakeCapturePlatform;
using fake::ProcessExit;

constexpr AudioStreamBasicDescription kFloatMono{16000.0, kAudioFormatFlagIsFloat, 4, 1, 32};
constexpr const char* kFloatMonoLine =
    "[orrick] ASBD sampleRate=16000.0 channels=1 bitsPerChannel=32 float=true "
    "nonInterleaved=false bytesPerFrame=4\n";

std::vector<std::byte> bytesOf(const std::vector<float>& samples) {
  std::vector<std::byte> bytes(samples.size() * sizeof(float));
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}

std::vector<std::byte> bytes(std::initializer_list<int> values) {
  std::vector<std::byte> out;
  for (int v : values) out.push_back(std::byte(v));
  return out;
}

class SampleHandler : public ::testing::Test {
 protected:
  void deliver(std::optional<std::vector<std::byte>> data,
               std::optional<std::optional<AudioStreamBasicDescription>> format,
               StreamOutputType type = StreamOutputType::audio) {
    std::optional<MemoryBlockBuffer> block;
    if (data) block.emplace(*data);
    std::optional<MemoryFormatDescription> description;
    if (format) description.emplace(*format);
    capturer.didOutputSampleBuffer(stream(), MemorySampleBuffer(block, description), type);
  }
  void deliverFloats(const std::vector<float>& samples) { deliver(bytesOf(samples), kFloatMono); }

  CaptureStream& stream() { return *capturer.stream; }
  std::string standardError() { return platform.fakeProcess().standardError(); }
  const std::vector<std::vector<std::byte>>& writes() { return platform.fakeOutput().writes; }

  void SetUp() override {
    ASSERT_FALSE(capturer.start().has_value());
    platform.journal.clear();
    // Only what the handler writes counts from here on.
    started_ = standardError();
  }
  std::string handlerLines() { return standardError().substr(started_.size()); }

  FakeCapturePlatform platform;
  SystemAudioCapturer capturer{platform};

 private:
  std::string started_;
};

TEST_F(SampleHandler, LogsTheFormatOnceBeforeTheFirstBuffersBytes) {
  deliverFloats({0.5f, -0.5f});
  deliverFloats({1.0f});

  EXPECT_EQ(handlerLines(), kFloatMonoLine);
  EXPECT_TRUE(capturer.loggedFormat);
  EXPECT_EQ(
      platform.journal.entries(),
      (std::vector<std::string>{std::string("stderr ") + kFloatMonoLine, "stdout 4", "stdout 2"}));
  EXPECT_EQ(writes()[0], bytes({0xFF, 0x3F, 0x01, 0xC0}));
  EXPECT_EQ(writes()[1], bytes({0xFF, 0x7F}));
}

TEST_F(SampleHandler, BuffersWithoutAReadableFormatDoNotUseUpTheLine) {
  deliver(bytesOf({1.0f}), std::nullopt);                                  // no format description
  deliver(bytesOf({1.0f}), std::optional<AudioStreamBasicDescription>{});  // not an audio one
  deliver(std::nullopt, kFloatMono);                                       // no data at all
  EXPECT_EQ(handlerLines(), "");
  EXPECT_TRUE(writes().empty());
  EXPECT_FALSE(capturer.loggedFormat);

  const AudioStreamBasicDescription int16Stereo{44100.5, kAudioFormatFlagIsNonInterleaved, 2, 2,
                                                16};
  deliver(bytes({1, 2, 3}), int16Stereo);
  EXPECT_EQ(handlerLines(),
            "[orrick] ASBD sampleRate=44100.5 channels=2 bitsPerChannel=16 float=false "
            "nonInterleaved=true bytesPerFrame=2\n");
}

TEST_F(SampleHandler, ScreenBuffersAreIgnoredEvenFirst) {
  deliver(bytesOf({1.0f}), kFloatMono, StreamOutputType::screen);
  EXPECT_EQ(handlerLines(), "");
  EXPECT_TRUE(writes().empty());
  EXPECT_FALSE(capturer.loggedFormat);

  deliverFloats({1.0f});
  EXPECT_EQ(handlerLines(), kFloatMonoLine);
}

TEST_F(SampleHandler, UsesOnlyWholeFourByteGroups) {
  std::vector<std::byte> data = bytesOf({0.25f, -1.0f});
  data.push_back(std::byte{0x7F});
  data.push_back(std::byte{0x7F});
  deliver(data, kFloatMono);  // 10 bytes
  ASSERT_EQ(writes().size(), 1u);
  EXPECT_EQ(writes()[0], bytes({0xFF, 0x1F, 0x01, 0x80}));

  // Fewer than four bytes: no samples and no write, but the line was due anyway.
  deliver(bytes({1, 2, 3}), kFloatMono);
  deliver(bytes({}), kFloatMono);
  EXPECT_EQ(writes().size(), 1u);
}

TEST_F(SampleHandler, NonFloatBytesPassThroughUnchanged) {
  const AudioStreamBasicDescription int16Mono{16000.0, 0, 2, 1, 16};
  const auto pcm = bytes({0x01, 0x80, 0xFF, 0x7F, 0x00});
  deliver(pcm, int16Mono);
  ASSERT_EQ(writes().size(), 1u);
  EXPECT_EQ(writes()[0], pcm);
  EXPECT_EQ(handlerLines(),
            "[orrick] ASBD sampleRate=16000.0 channels=1 bitsPerChannel=16 float=false "
            "nonInterleaved=false bytesPerFrame=2\n");
}

TEST_F(SampleHandler, TwoPlanesAreWrittenOneAfterTheOther) {
  const AudioStreamBasicDescription planar{
      16000.0, kAudioFormatFlagIsFloat | kAudioFormatFlagIsNonInterleaved, 4, 2, 32};
  deliver(bytesOf({1.0f, 0.5f, -1.0f, -0.5f}), planar);  // left plane, then right plane
  ASSERT_EQ(writes().size(), 1u);
  EXPECT_EQ(writes()[0], bytes({0xFF, 0x7F, 0xFF, 0x3F, 0x01, 0x80, 0x01, 0xC0}));
}

TEST_F(SampleHandler, AppliesTheSampleRuleToEveryValue) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  const std::vector<float> in{1.0f, -1.0f, 0.5f,  -0.5f, 0.25f, 0.99999f, 2.0f,
                              kInf, NAN,   -3.0f, -kInf, -0.0f, 0.00001f};
  const std::vector<int16_t> expected{32767, -32767, 16383,  -16383, 8191, 32766, 32767,
                                      32767, 32767,  -32767, -32767, 0,    0};
  deliverFloats(in);
  ASSERT_EQ(writes().size(), 1u);
  ASSERT_EQ(writes()[0].size(), 2 * expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto v = static_cast<uint16_t>(expected[i]);
    EXPECT_EQ(writes()[0][2 * i], std::byte(v & 0xFF)) << in[i];
    EXPECT_EQ(writes()[0][2 * i + 1], std::byte(v >> 8)) << in[i];
  }
}

TEST_F(SampleHandler, AStandardOutputThatFailsForGoodEndsWithStatusOne) {
  platform.fakeOutput().failWith = ENOSPC;
  try {
    deliverFloats({0.5f});
    ADD_FAILURE() << "the process went on";
  } catch (const ProcessExit& exit) {
    EXPECT_EQ(exit.status, 1);
  }
  EXPECT_EQ(handlerLines(), std::string(kFloatMonoLine) +
                                "FATAL: cannot write to stdout: No space left on device\n");
}

}  // namespace
}  // namespace corvane
