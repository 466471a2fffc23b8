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

std::string bytesOf(const std::vector<float>& samples) {
  return std::string(reinterpret_cast<const char*>(samples.data()), 4 * samples.size());
}

struct SampleHandler : ::testing::Test {
  // `data` none: no block buffer; `format` none: no format description.
  void deliver(std::optional<std::string> data,
               std::optional<std::optional<AudioStreamBasicDescription>> format,
               StreamOutputType type = StreamOutputType::audio, std::size_t missing = 0) {
    const FakeBlock block(data.value_or(""), missing);
    const MemoryFormatDescription description(format.value_or(std::nullopt));
    capturer.didOutputSampleBuffer(platform, FakeSample(data ? &block : nullptr, format ? &description : nullptr), type);
  }
  Lines log() const { return platform.proc.log(); }
  FakeCapturePlatform platform;
  SystemAudioCapturer capturer{platform};
};

// Buffers that never reach the format carry one of their own, so a line
// written for one of them would show.
TEST_F(SampleHandler, LogsTheFormatOnceBeforeTheBytesOfTheFirstBufferThatReachesIt) {
  const AudioStreamBasicDescription other{44100.0, kAudioFormatFlagIsFloat, 8, 2, 32};
  deliver(bytesOf({1.0f}), other, StreamOutputType::screen);
  deliver(bytesOf({1.0f}), std::nullopt);  // no format description
  deliver(bytesOf({1.0f}), std::optional<AudioStreamBasicDescription>{});  // not an audio one
  deliver(std::nullopt, other);                                            // no data at all
  deliver(bytesOf({0.5f, -0.5f}), kFloatMono);
  deliver(bytesOf({1.0f}), other);
  EXPECT_EQ(log(), (Lines{kFloatMonoLine, "stdout 4", "stdout 2"}));
  EXPECT_EQ(platform.proc.stdoutBytes(), "\xFF\x3F\x01\xC0\xFF\x7F");
}

// Whatever the layout; a trailing partial group is dropped, and bytes that
// cannot be copied read as zeros.
TEST_F(SampleHandler, TurnsEachWholeFourBytesOfFloatDataIntoOneSample) {
  deliver(bytesOf({0.25f, -1.0f}) + "\x7F\x7F", kFloatMono);
  const AudioStreamBasicDescription planar{
      16000.0, kAudioFormatFlagIsFloat | kAudioFormatFlagIsNonInterleaved, 4, 2, 32};
  deliver(bytesOf({1.0f, -0.5f}), planar);
  deliver("\x01\x02\x03", kFloatMono);  // no whole sample: nothing
  deliver(bytesOf(pcm::test::ruleInputs()), kFloatMono);
  deliver(bytesOf({1.0f}), kFloatMono, StreamOutputType::audio, 8);
  EXPECT_EQ(log(), (Lines{kFloatMonoLine, "stdout 4", "stdout 4", "stdout 28", "stdout 6"}));
  EXPECT_EQ(platform.proc.stdoutBytes(), "\xFF\x1F\x01\x80\xFF\x7F\x01\xC0" +
                                             pcm::test::ruleBytes() + "\xFF\x7F" + std::string(4, 0));
}

TEST_F(SampleHandler, NonFloatBytesPassThroughUnchanged) {
  deliver("\x01\x80\xFF\x7F\x05",
          AudioStreamBasicDescription{44100.5, kAudioFormatFlagIsNonInterleaved, 2, 2, 16});
  EXPECT_EQ(log(), (Lines{"[orrick] ASBD sampleRate=44100.5 channels=2 bitsPerChannel=16 "
                          "float=false nonInterleaved=true bytesPerFrame=2\n",
                          "stdout 5"}));
  EXPECT_EQ(platform.proc.stdoutBytes(), "\x01\x80\xFF\x7F\x05");
  platform.proc.failWith = ENOSPC;
  EXPECT_EQ(exitStatusOf([&] { deliver(bytesOf({0.5f}), kFloatMono); }), 1);
  EXPECT_EQ(log().back(), "FATAL: cannot write to stdout: No space left on device\n");
}

}  // namespace
}  // namespace corvane::fake
