#include <gtest/gtest.h>

#include "system_audio/corvane.h"
#include "tests/fake/system_audio/fake_capture_platform.h"

namespace corvane {
namespace {

using fake::FakeCapturePlatform;
using fake::ProcessExit;

// The handlers are in place before the capture is requested, and the request
// is made on the start-up task, not on the main thread.
TEST(CorvaneEntry, InstallsHandlersThenStartsOnATaskAndParks) {
  FakeCapturePlatform platform;

  EXPECT_EQ(runCorvane(platform), 0);

  EXPECT_EQ(platform.fakeProcess().sigtermLine, "Received SIGTERM, stopping...\n");
  EXPECT_EQ(platform.fakeProcess().sigintLine, "Received SIGINT, stopping...\n");
  EXPECT_EQ(platform.fakeProcess().parkCount, 1);
  EXPECT_TRUE(platform.contentRequests.empty());
  EXPECT_EQ(platform.journal.entries(), std::vector<std::string>{"signal handlers"});

  // The task keeps the capturer alive after the main thread let it go.
  ASSERT_EQ(platform.tasks.size(), 1u);
  platform.tasks[0]();
  EXPECT_EQ(platform.contentRequests.size(), 1u);
  EXPECT_EQ(platform.fakeProcess().standardError(),
            "System audio capture started (16kHz mono PCM → stdout)\n");
}

TEST(CorvaneEntry, FailedTaskEndsTheProcessWithStatusOne) {
  FakeCapturePlatform platform;
  platform.contentAnswer = FakeCapturePlatform::ContentAnswer::error;
  platform.contentError = "Connection refused";
  runCorvane(platform);

  ASSERT_EQ(platform.tasks.size(), 1u);
  try {
    platform.tasks[0]();
    ADD_FAILURE() << "the process went on";
  } catch (const ProcessExit& exit) {
    EXPECT_EQ(exit.status, 1);
  }
  EXPECT_EQ(platform.fakeProcess().standardError(),
            "Failed to start capture: Connection refused\n");
}

}  // namespace
}  // namespace corvane
