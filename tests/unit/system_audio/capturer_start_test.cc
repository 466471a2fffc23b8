#include <gtest/gtest.h>

#include "system_audio/corvane.h"
#include "tests/fake/system_audio/fake_capture_platform.h"

namespace corvane {
namespace {

using fake::FakeCapturePlatform;
using fake::FakeDisplay;
using fake::FakeStream;
using fake::ProcessExit;
using ContentAnswer = FakeCapturePlatform::ContentAnswer;

constexpr const char* kStartedLine = "System audio capture started (16kHz mono PCM → stdout)\n";

// Runs the start-up task as the real process would: the exit status, or none
// when the task ended without ending the process.
std::optional<int> runTask(FakeCapturePlatform& platform, SystemAudioCapturer& capturer) {
  try {
    runStartupTask(capturer, platform.process());
    return std::nullopt;
  } catch (const ProcessExit& exit) {
    return exit.status;
  }
}

class CapturerStart : public ::testing::TestWithParam<bool> {};

// Run with the platform answering inside each call and, as a real service does,
// later from a thread of its own.
TEST_P(CapturerStart, ConfiguresAnAudioOnlyStreamOnTheFirstDisplay) {
  FakeCapturePlatform platform;
  platform.answerLater = GetParam();
  platform.displays = {std::make_shared<FakeDisplay>(3), std::make_shared<FakeDisplay>(1)};
  SystemAudioCapturer capturer(platform);

  EXPECT_EQ(runTask(platform, capturer), std::nullopt);

  EXPECT_EQ(platform.contentRequests, (std::vector<std::pair<bool, bool>>{{false, false}}));
  EXPECT_EQ(platform.configurationCalls,
            (std::vector<std::string>{
                "setWidth(2)", "setHeight(2)", "setMinimumFrameInterval(1/1 valid epoch 0)",
                "setCapturesAudio(true)", "setSampleRate(16000)", "setChannelCount(1)",
                "setExcludesCurrentProcessAudio(true)"}));
  FakeStream& stream = platform.onlyStream();
  EXPECT_EQ(capturer.stream.get(), &stream);
  EXPECT_EQ(stream.filter.display->displayID(), 3u);
  EXPECT_TRUE(stream.filter.excludingWindows.empty());
  EXPECT_EQ(stream.configuration.sampleRate(), 16000);
  EXPECT_EQ(stream.configuration.channelCount(), 1);
  EXPECT_EQ(&stream.delegate, &capturer);

  ASSERT_EQ(stream.outputs.size(), 1u);
  EXPECT_EQ(stream.outputs[0].output, &capturer);
  EXPECT_EQ(stream.outputs[0].type, StreamOutputType::audio);
  EXPECT_EQ(stream.outputs[0].queue, &platform.queue);
  EXPECT_EQ(stream.startCalls, 1);

  EXPECT_EQ(platform.fakeProcess().standardError(), kStartedLine);
  EXPECT_TRUE(platform.fakeOutput().writes.empty());
}

TEST_P(CapturerStart, ACompletionCalledTwiceResumesOnlyOnce) {
  FakeCapturePlatform platform;
  platform.answerLater = GetParam();
  platform.contentAnswer = ContentAnswer::twice;
  SystemAudioCapturer capturer(platform);

  EXPECT_EQ(runTask(platform, capturer), std::nullopt);
  EXPECT_EQ(platform.streams.size(), 1u);
  EXPECT_EQ(platform.fakeProcess().standardError(), kStartedLine);
}

INSTANTIATE_TEST_SUITE_P(, CapturerStart, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Later" : "AtOnce"; });

TEST(CapturerStartEnds, NoDisplayEndsWithItsOwnLineAndNoStream) {
  FakeCapturePlatform platform;
  platform.displays.clear();
  SystemAudioCapturer capturer(platform);

  EXPECT_EQ(runTask(platform, capturer), 1);
  EXPECT_EQ(platform.fakeProcess().standardError(), "Error: No displays found\n");
  EXPECT_TRUE(platform.streams.empty());
  EXPECT_TRUE(platform.configurationCalls.empty());
}

struct FailureCase {
  const char* name;
  std::function<void(FakeCapturePlatform&)> arrange;
  std::string line;
  std::size_t streamsMade;
};

class CapturerStartFailure : public ::testing::TestWithParam<FailureCase> {};

// Every failed step gives exactly one line and status 1; the started line never
// follows and nothing reaches standard output.
TEST_P(CapturerStartFailure, WritesOneLineAndEndsWithStatusOne) {
  FakeCapturePlatform platform;
  GetParam().arrange(platform);
  SystemAudioCapturer capturer(platform);

  EXPECT_EQ(runTask(platform, capturer), 1);
  EXPECT_EQ(platform.fakeProcess().standardError(), GetParam().line);
  EXPECT_EQ(platform.streams.size(), GetParam().streamsMade);
  EXPECT_TRUE(platform.fakeOutput().writes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    , CapturerStartFailure,
    ::testing::Values(
        FailureCase{"ContentError",
                    [](FakeCapturePlatform& p) {
                      p.contentAnswer = ContentAnswer::error;
                      p.contentError = "Connection refused";
                    },
                    "Failed to start capture: Connection refused\n", 0},
        FailureCase{"ContentNeither",
                    [](FakeCapturePlatform& p) { p.contentAnswer = ContentAnswer::neither; },
                    "Failed to start capture: The shareable content request returned neither "
                    "content nor an error\n",
                    0},
        FailureCase{"ContentDropped",
                    [](FakeCapturePlatform& p) { p.contentAnswer = ContentAnswer::drop; },
                    "Failed to start capture: The shareable content request ended without an "
                    "answer\n",
                    0},
        FailureCase{
            "OutputRefused",
            [](FakeCapturePlatform& p) { p.addOutputError = PlatformError{"Output not allowed"}; },
            "Failed to start capture: Output not allowed\n", 1},
        FailureCase{"CaptureRefused",
                    [](FakeCapturePlatform& p) {
                      p.startAnswer = FakeStream::StartAnswer::fail;
                      p.startError = "Stream failed — sink gone";
                      p.answerLater = true;
                    },
                    "Failed to start capture: Stream failed — sink gone\n", 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CapturerStopped, WritesTheReasonAndEndsWithStatusOne) {
  FakeCapturePlatform platform;
  SystemAudioCapturer capturer(platform);
  ASSERT_EQ(runTask(platform, capturer), std::nullopt);

  FakeStream& stream = platform.onlyStream();
  try {
    stream.delegate.didStopWithError(stream, PlatformError{"Connection terminated"});
    ADD_FAILURE() << "the process went on";
  } catch (const ProcessExit& exit) {
    EXPECT_EQ(exit.status, 1);
  }
  EXPECT_EQ(platform.fakeProcess().standardError(),
            std::string(kStartedLine) + "Stream stopped with error: Connection terminated\n");
}

}  // namespace
}  // namespace corvane
