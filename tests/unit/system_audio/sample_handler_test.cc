// Turning delivered sample buffers into the PCM stream.
#include <gtest/gtest.h>

#include <cerrno>

#include "system_audio/memory_sample_buffer.h"
#include "system_audio/system_audio_capturer.h"
#include "tests/fake/system_audio/fake_capture_platform.h"
#include "tests/unit/common/sample_rule_table.h"

namespace corvane::fake {
namespace {

constexpr AudioStreamBasicDescription kFloatMono{16000.0, kAudioFormatFlagIsFloat, 4, 1, 32};
const std::string kFloatMonoLine =
    "[orrick] ASBD sampleRate=16000.0 channels=1 bitsPerChannel=32 float=true "
    "nonInterleaved=false bytesPerFrame=4\n";

std::string floatBytes(const std::vector<float>& samples) {
  return std::string(reinterpret_cast<const char*>(samples.data()), 4 * samples.size());
}

class SampleHandler : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(capturer.start(), std::nullopt);
    platform.processControl.clear();  // only what the handler does counts from here on
  }
  // `data` none: no block buffer; `format` none: no format description.
  void deliver(std::optional<std::string> data,
               std::optional<std::optional<AudioStreamBasicDescription>> format,
               StreamOutputType type = StreamOutputType::audio) {
    std::optional<MemoryBlockBuffer> block;
    if (data) block.emplace(std::as_bytes(std::span(*data)));
    std::optional<MemoryFormatDescription> description;
    if (format) description.emplace(*format);
    capturer.didOutputSampleBuffer(*capturer.stream, MemorySampleBuffer(block, description), type);
  }
  Lines transcript() const { return platform.processControl.transcript(); }

  FakeCapturePlatform platform;
  SystemAudioCapturer capturer{platform};
};

// Buffers that never reach the format step carry a format of their own, so a
// line written for one of them would show.
TEST_F(SampleHandler, LogsTheFormatOnceBeforeTheBytesOfTheFirstBufferThatReachesIt) {
  const AudioStreamBasicDescription other{44100.0, kAudioFormatFlagIsFloat, 8, 2, 32};
  deliver(floatBytes({1.0f}), other, StreamOutputType::screen);  // ignored, even first
  deliver(floatBytes({1.0f}), std::nullopt);                     // no format description
  deliver(floatBytes({1.0f}), std::optional<AudioStreamBasicDescription>{});  // not an audio one
  deliver(std::nullopt, other);                                               // no data at all
  deliver(floatBytes({0.5f, -0.5f}), kFloatMono);
  deliver(floatBytes({1.0f}), other);
  EXPECT_EQ(transcript(), (Lines{kFloatMonoLine, "stdout 4 bytes", "stdout 2 bytes"}));
  EXPECT_EQ(platform.processControl.stdoutBytes(), "\xFF\x3F\x01\xC0\xFF\x7F");
}

TEST_F(SampleHandler, TurnsEachWholeFourBytesOfFloatDataIntoOneSample) {
  deliver(floatBytes({0.25f, -1.0f}) + "\x7F\x7F", kFloatMono);  // 10 bytes: 2 samples
  const AudioStreamBasicDescription planar{
      16000.0, kAudioFormatFlagIsFloat | kAudioFormatFlagIsNonInterleaved, 4, 2, 32};
  deliver(floatBytes({1.0f, 0.5f, -1.0f, -0.5f}), planar);  // left plane, then right plane
  deliver("\x01\x02\x03", kFloatMono);                      // no whole sample: nothing
  deliver("", kFloatMono);                                  // nothing at all
  deliver(floatBytes(pcm::test::ruleTableInputs()), kFloatMono);
  EXPECT_EQ(transcript(),
            (Lines{kFloatMonoLine, "stdout 4 bytes", "stdout 8 bytes", "stdout 38 bytes"}));
  EXPECT_EQ(platform.processControl.stdoutBytes(),
            "\xFF\x1F\x01\x80\xFF\x7F\xFF\x3F\x01\x80\x01\xC0" + pcm::test::ruleTableBytes());
}

TEST_F(SampleHandler, NonFloatBytesPassThroughUnchanged) {
  deliver("\x01\x80\xFF\x7F\x05",
          AudioStreamBasicDescription{44100.5, kAudioFormatFlagIsNonInterleaved, 2, 2, 16});
  EXPECT_EQ(transcript(), (Lines{"[orrick] ASBD sampleRate=44100.5 channels=2 bitsPerChannel=16 "
                                 "float=false nonInterleaved=true bytesPerFrame=2\n",
                                 "stdout 5 bytes"}));
  EXPECT_EQ(platform.processControl.stdoutBytes(), "\x01\x80\xFF\x7F\x05");
}

TEST_F(SampleHandler, AStandardOutputThatFailsForGoodEndsWithStatusOne) {
  platform.processControl.failWith = ENOSPC;
  EXPECT_EQ(exitStatusOf([&] { deliver(floatBytes({0.5f}), kFloatMono); }), 1);
  EXPECT_EQ(transcript(), (Lines{kFloatMonoLine, "stdout 2 bytes",
                                 "FATAL: cannot write to stdout: No space left on device\n"}));
}

}  // namespace
}  // namespace corvane::fake
