// corvane on the fake platform: starting the capture, every way the start ends,
// the tool around it, and sample buffers turned into the PCM stream. The platform
// answers inside its calls or, as a real service does, from a thread of its own.
#include <gtest/gtest.h>

#include <cerrno>

#include "system_audio/corvane.h"
#include "system_audio/memory_sample_buffer.h"
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
    capturer.didOutputSampleBuffer(
        platform, FakeSample(data ? &block : nullptr, format ? &description : nullptr), type);
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
  deliver(bytesOf({1.0f}), std::nullopt);                                  // no format description
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
  EXPECT_EQ(
      platform.proc.stdoutBytes(),
      "\xFF\x1F\x01\x80\xFF\x7F\x01\xC0" + pcm::test::ruleBytes() + "\xFF\x7F" + std::string(4, 0));
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

using Answer = FakeCapturePlatform::Answer;

// A content completion called twice must resume the start once.
TEST(CapturerStart, CapturesAudioFromTheFirstDisplayUntilTheStreamStops) {
  for (const auto& [later, answer] : {std::pair{false, Answer::content},
                                      {true, Answer::content},
                                      {false, Answer::twice},
                                      {true, Answer::twice}}) {
    FakeCapturePlatform platform;
    platform.later = later;
    platform.answer = answer;
    platform.displays.push_back(std::make_shared<FakeDisplay>(1));
    SystemAudioCapturer capturer(platform);
    EXPECT_EQ(exitStatusOf([&] { runStartupTask(capturer, platform.proc); }), std::nullopt);
    EXPECT_EQ(platform.made, std::tuple(7u, 16000, 1));
    EXPECT_EQ(platform.output, &capturer);
    EXPECT_EQ(exitStatusOf([&] { platform.delegate->didStopWithError(platform, {"gone"}); }), 1);
    EXPECT_EQ(platform.proc.log(),
              (Lines{"System audio capture started (16kHz mono PCM → stdout)\n",
                     "Stream stopped with error: gone\n"}));
  }
}

TEST(CapturerStart, EachFailedStepWritesOneLineAndEndsWithStatusOne) {
  FakeCapturePlatform platforms[6];
  platforms[0].answer = Answer::error;
  platforms[1].answer = Answer::neither;
  platforms[2].answer = Answer::drop;
  platforms[3].displays.clear();
  platforms[4].addError = PlatformError{"not allowed"};
  platforms[5].startError = PlatformError{"sink gone"};
  platforms[5].later = true;
  const char* reasons[] = {"refused",     "neither",     "without an answer",
                           "No displays", "not allowed", "sink gone"};
  for (int i = 0; i < 6; ++i) {
    SystemAudioCapturer capturer(platforms[i]);
    EXPECT_EQ(exitStatusOf([&] { runStartupTask(capturer, platforms[i].proc); }), 1) << i;
    const Lines log = platforms[i].proc.log();
    ASSERT_EQ(log.size(), 1u) << i;
    EXPECT_NE(log[0].find(reasons[i]), std::string::npos) << log[0];
  }
}

// The start-up task keeps the capturer alive after the main thread lets go.
TEST(CorvaneEntry, StartsCaptureOnATaskAndParksWithStopLinesInstalled) {
  FakeCapturePlatform platform;
  platform.answer = Answer::error;
  EXPECT_EQ(runCorvane(platform), 0);
  EXPECT_EQ(platform.proc.stopLines,
            (Lines{"Received SIGTERM, stopping...\n", "Received SIGINT, stopping...\n"}));
  ASSERT_EQ(platform.tasks.size(), 1u);
  EXPECT_EQ(exitStatusOf(platform.tasks[0]), 1);
  EXPECT_EQ(platform.proc.log(), (Lines{"task", "parked", "Failed to start capture: refused\n"}));
}

}  // namespace
}  // namespace corvane::fake
