// velloc and corvane as a package installed them, run from INSTALLED_BIN_DIR
// (scripts/test unpacks the .deb and points this at its usr/bin): each starts,
// delivers audio from a private server for a second, and stops on SIGINT.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>

#include "tests/e2e/capture_checks.h"

namespace {

using namespace std::chrono_literals;
using namespace pulsetest;

class InstalledTool : public ServerTest {
 protected:
  void SetUp() override {
    const char* dir = std::getenv("INSTALLED_BIN_DIR");
    if (dir == nullptr) GTEST_SKIP() << "INSTALLED_BIN_DIR is not set";
    binDir = dir;
    ServerTest::SetUp();
  }

  // A second of audio, then the stop: status 0 and the stop line last.
  void expectCapturesASecond(const std::string& tool, const std::string& stopLine) {
    auto child = launch({binDir + "/" + tool});
    ASSERT_TRUE(child);
    EXPECT_EQ(child->readStdout(32000, 5s).size(), 32000u) << child->stderrText();
    expectStopsOn(SIGINT, *child, stopLine);
  }

  std::string binDir;
};

TEST_F(InstalledTool, VellocCapturesTheDefaultInput) {
  std::string error;
  ASSERT_TRUE(server->addMicrophone("mic", 48000, 2, "Test Mic", error)) << error;
  ASSERT_TRUE(server->setDefaultSource("mic"));
  expectCapturesASecond("velloc", "[tamsel] Received SIGINT, stopping...\n");
}

TEST_F(InstalledTool, CorvaneCapturesTheDefaultOutput) {
  std::string error;
  ASSERT_TRUE(server->addSink("speakers", 48000, 2, "Speakers", true, error)) << error;
  expectCapturesASecond("corvane", "Received SIGINT, stopping...\n");
}

}  // namespace
