// Starting the capture: the request, the stream it configures, every way the
// start ends, and the tool around it.
#include <gtest/gtest.h>
#include <signal.h>

#include "system_audio/corvane.h"
#include "tests/fake/system_audio/fake_capture_platform.h"

namespace corvane::fake {
namespace {

using ContentAnswer = FakeCapturePlatform::ContentAnswer;

const std::string kRequest = "getShareableContent(false, false)";
const std::string kMakeStream =
    "makeStream(display 7 less 0 windows; width 2, height 2, minimumFrameInterval 1/1 epoch 0, "
    "capturesAudio true, sampleRate 16000, channelCount 1, excludesCurrentProcessAudio true)";
const std::string kAddOutput = "addStreamOutput(audio, handler queue)";
const std::string kStarted = "System audio capture started (16kHz mono PCM → stdout)\n";

// Whether the platform answers later from a thread of its own, as a real
// service does, rather than inside each call; whether it calls the content
// completion twice, which must resume the start only once.
class CapturerStart : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

// Audio alone, from the first display, to one output: the capturer, which is
// also the delegate that learns when the stream stops.
TEST_P(CapturerStart, CapturesAudioFromTheFirstDisplayUntilTheStreamStops) {
  const auto [later, twice] = GetParam();
  FakeCapturePlatform platform;
  platform.answerLater = later;
  platform.contentAnswer = twice ? ContentAnswer::twice : ContentAnswer::content;
  platform.displays.push_back(std::make_shared<FakeDisplay>(1));
  SystemAudioCapturer capturer(platform);
  EXPECT_EQ(exitStatusOf([&] { runStartupTask(capturer, platform.processControl); }), std::nullopt);
  EXPECT_EQ(capturer.stream.get(), &platform);
  EXPECT_EQ(platform.outputs, (std::vector<std::pair<StreamOutput*, StreamOutputType>>{
                                  {&capturer, StreamOutputType::audio}}));
  EXPECT_EQ(exitStatusOf([&] {
              platform.delegate->didStopWithError(platform, PlatformError{"Connection terminated"});
            }),
            1);
  EXPECT_EQ(platform.processControl.transcript(),
            (Lines{kRequest, kMakeStream, kAddOutput, "startCapture", kStarted,
                   "Stream stopped with error: Connection terminated\n"}));
}

INSTANTIATE_TEST_SUITE_P(, CapturerStart, ::testing::Combine(::testing::Bool(), ::testing::Bool()));

// Every failed step gives one line and status 1; nothing reaches standard output.
TEST(CapturerStartFailure, EachFailedStepWritesOneLineAndEndsWithStatusOne) {
  FakeCapturePlatform platforms[6];
  platforms[0].contentAnswer = ContentAnswer::error;
  platforms[0].contentError = PlatformError{"Connection refused"};
  platforms[1].contentAnswer = ContentAnswer::neither;
  platforms[2].contentAnswer = ContentAnswer::drop;
  platforms[3].displays.clear();
  platforms[4].addOutputError = PlatformError{"Output not allowed"};
  platforms[5].startError = PlatformError{"Stream failed — sink gone"};
  platforms[5].answerLater = true;
  const std::string failed = "Failed to start capture: ";
  const Lines expected[] = {
      {kRequest, failed + "Connection refused\n"},
      {kRequest, failed + "The shareable content request returned neither content nor an error\n"},
      {kRequest, failed + "The shareable content request ended without an answer\n"},
      {kRequest, "Error: No displays found\n"},
      {kRequest, kMakeStream, kAddOutput, failed + "Output not allowed\n"},
      {kRequest, kMakeStream, kAddOutput, "startCapture", failed + "Stream failed — sink gone\n"}};
  for (int i = 0; i < 6; ++i) {
    SystemAudioCapturer capturer(platforms[i]);
    EXPECT_EQ(exitStatusOf([&] { runStartupTask(capturer, platforms[i].processControl); }), 1) << i;
    EXPECT_EQ(platforms[i].processControl.transcript(), expected[i]);
  }
}

// The handlers are in place before anything else, and the capture is requested
// on the start-up task, which keeps the capturer alive after the main thread
// lets go of it. A stop signal ends the tool with its line and status 0.
TEST(CorvaneEntry, StartsCaptureOnATaskAndParksUntilAStopSignal) {
  for (const auto& [signo, line] :
       {std::pair{0, ""}, std::pair{SIGTERM, "Received SIGTERM, stopping...\n"},
        std::pair{SIGINT, "Received SIGINT, stopping...\n"}}) {
    FakeCapturePlatform platform;
    platform.contentAnswer = ContentAnswer::error;
    platform.contentError = PlatformError{"Connection refused"};
    platform.processControl.onPark = [&] {
      if (signo != 0) platform.processControl.deliverSignal(signo);
    };
    int returned = -1;
    EXPECT_EQ(exitStatusOf([&] { returned = runCorvane(platform); }).value_or(returned), 0);
    ASSERT_EQ(platform.tasks.size(), 1u);
    EXPECT_EQ(exitStatusOf(platform.tasks[0]), 1);
    Lines expected{"installSignalHandlers", "startDetachedTask", "parkMainThread"};
    if (signo != 0) expected.push_back(line);
    expected.insert(expected.end(), {kRequest, "Failed to start capture: Connection refused\n"});
    EXPECT_EQ(platform.processControl.transcript(), expected);
  }
}

}  // namespace
}  // namespace corvane::fake
