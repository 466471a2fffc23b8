// Both tools started again and again against one private server and stopped by
// SIGINT or SIGTERM at a random moment, start-up included. A parent relies on
// two things whatever the moment: the process is gone within a second, and its
// standard error says how it ended. Once the handlers are in, that is exactly
// one "Received" line, last, and status 0; before, the signal's default action
// ends the process and no such line appears.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/capture_checks.h"

namespace {

using namespace std::chrono_literals;
using namespace pulsetest;
using Clock = std::chrono::steady_clock;

struct Tool {
  std::string path;
  std::string linePrefix;   // before "Received SIGINT, stopping...\n"
  std::string startedLine;  // the last line before capture runs
};

class SignalStorm : public DefaultDevicesTest {
 protected:
  // How long the tool takes to reach capture here, under this build (the median
  // of three starts, the first of which may find cold caches): the range the
  // signals are spread over.
  std::chrono::microseconds startUpTime(const Tool& tool) {
    std::vector<std::chrono::microseconds> times;
    for (int i = 0; i < 3; ++i) {
      auto child = launch({tool.path});
      const auto began = Clock::now();
      EXPECT_TRUE(child->waitForStderr(tool.startedLine, 10s)) << child->stderrText();
      times.push_back(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - began));
    }
    std::sort(times.begin(), times.end());
    return times[1];
  }

  void storm(const Tool& tool) {
    const auto startUp = startUpTime(tool);
    const char* wanted = std::getenv("SIGNAL_STORM_RUNS");
    const int runs = wanted != nullptr ? std::max(1, std::atoi(wanted)) : 200;
    std::mt19937 random(static_cast<unsigned>(::testing::UnitTest::GetInstance()->random_seed()));
    // A third of the signals land in start-up, a third around the handlers'
    // installation, a third while audio flows (the first buffer comes 100 ms in).
    const int64_t s = startUp.count();
    using Band = std::uniform_int_distribution<int64_t>;
    Band bands[] = {Band(0, s), Band(s / 2, s * 3 / 2), Band(s, s + 300000)};
    int handled = 0, byDefaultAction = 0;
    std::chrono::microseconds slowest{0};

    for (int run = 0; run < runs; ++run) {
      const int signo = (random() & 1) ? SIGINT : SIGTERM;
      const std::string name = signo == SIGINT ? "SIGINT" : "SIGTERM";
      const std::chrono::microseconds delay{bands[random() % 3](random)};
      SCOPED_TRACE("run " + std::to_string(run) + ": " + name + " after " +
                   std::to_string(delay.count()) + " us");

      auto child = launch({tool.path});
      ASSERT_TRUE(child);
      std::this_thread::sleep_for(delay);
      child->sendSignal(signo);
      const auto sent = Clock::now();
      const int status = child->exitCode(1s);
      ASSERT_NE(status, ChildProcess::kStillRunning)
          << "still running a second after " << name << ":\n"
          << child->stderrText();
      slowest = std::max(
          slowest, std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent));

      const std::string text = withoutSanitizerNotes(child->stderrText());
      const std::string line = tool.linePrefix + "Received " + name + ", stopping...\n";
      if (occurrences(text, "Received") > 0) {
        ++handled;
        EXPECT_EQ(occurrences(text, "Received"), 1u) << text;
        EXPECT_TRUE(text.ends_with(line)) << text;
        EXPECT_EQ(status, 0) << text;
      } else {
        ++byDefaultAction;
        EXPECT_EQ(status, -signo) << text;
      }
      if (HasFailure()) return;
    }
    std::printf(
        "%s: start-up %.1f ms; %d runs stopped by the handler, %d by the default action; "
        "slowest end %.1f ms after the signal\n",
        tool.path.substr(tool.path.rfind('/') + 1).c_str(), startUp.count() / 1000.0, handled,
        byDefaultAction, slowest.count() / 1000.0);
    // The spread of moments must reach well past the handlers' installation.
    EXPECT_GT(handled, runs / 4);
  }
};

// The stop line is the last line even when another thread is writing lines of
// its own as the signal lands.
TEST(StopLine, IsLastWhileAnotherThreadWritesLines) {
  ChildProcess::Options options;
  options.captureStdout = false;
  for (int run = 0; run < 50; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    auto probe = ChildProcess::start({BUSY_DIAGNOSTICS_PROBE_PATH}, options);
    ASSERT_TRUE(probe);
    ASSERT_TRUE(probe->waitForStderr("busy\n", 5s));
    const int signo = run % 2 ? SIGINT : SIGTERM;
    probe->sendSignal(signo);
    EXPECT_EQ(probe->exitCode(1s), 0);
    const std::string text = probe->stderrText();
    const std::string line = signo == SIGINT ? "stop: SIGINT\n" : "stop: SIGTERM\n";
    ASSERT_TRUE(text.ends_with(line))
        << text.substr(text.size() - std::min<std::size_t>(text.size(), 200));
    EXPECT_EQ(occurrences(text, "stop:"), 1u);
  }
}

TEST_F(SignalStorm, Velloc) {
  storm({VELLOC_PATH, "[tamsel] ", "[tamsel] Voice processing: OFF\n"});
}

TEST_F(SignalStorm, Corvane) { storm({CORVANE_PATH, "", "System audio capture started"}); }

}  // namespace
