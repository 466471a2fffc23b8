// Both tools started with standard descriptors closed, each against a private
// server: a closed standard output is reported as before, at the first write,
// and never taken over by a descriptor the audio library opens; a closed
// standard error does not keep a tool from capturing.
#include <signal.h>

#include <gtest/gtest.h>

#include "tests/e2e/capture_checks.h"

namespace {

using namespace std::chrono_literals;
using namespace pulsetest;

using ClosedDescriptors = DefaultDevicesTest;

TEST_F(ClosedDescriptors, StdoutFailsWithStatusOneAndStderrIsNotNeeded) {
  struct Case {
    const char* tool;
    const char* redirections;
    std::string fatalLine;  // none: the tool captures until stopped
  };
  const Case cases[] = {
      {VELLOC_PATH, "<&- >&-", "[tamsel] FATAL: cannot write to stdout: Bad file descriptor\n"},
      {CORVANE_PATH, "<&- >&-", "FATAL: cannot write to stdout: Bad file descriptor\n"},
      {VELLOC_PATH, "2>&-", ""},
      {CORVANE_PATH, "2>&-", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.tool) + " " + c.redirections);
    auto child = launch({"sh", "-c", std::string("exec \"$0\" ") + c.redirections, c.tool});
    if (c.fatalLine.empty()) {
      EXPECT_EQ(child->readStdout(2, 5s).size(), 2u);
      child->sendSignal(SIGTERM);
      EXPECT_EQ(child->exitCode(2s), 0);
    } else {
      EXPECT_EQ(child->exitCode(5s), 1);
      const std::string text = withoutSanitizerNotes(child->stderrText());
      EXPECT_TRUE(text.ends_with(c.fatalLine)) << text;
    }
  }
}

}  // namespace
