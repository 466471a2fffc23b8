// Starting the capture, every way the start ends, and the tool around it. The
// platform answers inside its calls or, as a real service does, later from a
// thread of its own.
#include <gtest/gtest.h>

#include "system_audio/corvane.h"
#include "tests/fake/system_audio/fake_capture_platform.h"

namespace corvane::fake {
namespace {

using Answer = FakeCapturePlatform::Answer;

// A content completion called twice must resume the start once.
TEST(CapturerStart, CapturesAudioFromTheFirstDisplayUntilTheStreamStops) {
  for (const auto& [later, answer] : {std::pair{false, Answer::content}, {true, Answer::content},
                                      {false, Answer::twice}, {true, Answer::twice}}) {
    FakeCapturePlatform platform;
    platform.later = later;
    platform.answer = answer;
    platform.displays.push_back(std::make_shared<FakeDisplay>(1));
    SystemAudioCapturer capturer(platform);
    EXPECT_EQ(exitStatusOf([&] { runStartupTask(capturer, platform.proc); }), std::nullopt);
    EXPECT_EQ(platform.made, std::tuple(7u, 16000, 1));
    EXPECT_EQ(platform.output, &capturer);
    EXPECT_EQ(exitStatusOf([&] { platform.delegate->didStopWithError(platform, {"gone"}); }), 1);
    EXPECT_EQ(platform.proc.log(), (Lines{"System audio capture started (16kHz mono PCM → stdout)\n",
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
  const char* reasons[] = {"refused", "neither", "without an answer", "No displays", "not allowed", "sink gone"};
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
  EXPECT_EQ(platform.proc.log(),
            (Lines{"task", "parked", "Failed to start capture: refused\n"}));
}

}  // namespace
}  // namespace corvane::fake
