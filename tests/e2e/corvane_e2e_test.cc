// corvane end to end: the real binary against a private audio server.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>

#include "tests/e2e/capture_checks.h"

namespace {

using namespace std::chrono_literals;
using namespace pulsetest;
using Clock = std::chrono::steady_clock;

constexpr const char* kStartedLine = "System audio capture started (16kHz mono PCM → stdout)\n";
constexpr const char* kFormatLine =
    "[orrick] ASBD sampleRate=16000.0 channels=1 bitsPerChannel=32 float=true "
    "nonInterleaved=false bytesPerFrame=4\n";
constexpr std::size_t kBytesPerSecond = 32000;

class Corvane : public ServerTest {
 protected:
  std::optional<uint32_t> addSink(const std::string& name, bool makeDefault) {
    std::string error;
    auto module = server->addSink(name, 48000, 2, name, makeDefault, error);
    EXPECT_TRUE(module) << error;
    return module;
  }
  std::unique_ptr<ChildProcess> startCorvane(std::vector<std::string> args = {},
                                             const Environment& changes = {}) {
    args.insert(args.begin(), CORVANE_PATH);
    return launch(args, changes);
  }

  // An idle null sink sleeps up to two seconds before it first renders, so the
  // first buffer may take that long.
  void expectStartsCapturing(ChildProcess& corvane) {
    ASSERT_TRUE(corvane.waitForStderr(kStartedLine, 5s)) << corvane.stderrText();
    ASSERT_TRUE(corvane.waitForStderr(kFormatLine, 5s)) << corvane.stderrText();
  }
};

// Two sinks, the default one made last: the tone played to the default sink
// comes out clean at 16 kHz, in real time; what the other sink plays does not.
TEST_F(Corvane, CapturesTheDefaultSinkAsACleanToneInRealTime) {
  ASSERT_TRUE(addSink("other", false));
  ASSERT_TRUE(addSink("speakers", true));
  auto corvane = startCorvane();
  expectStartsCapturing(*corvane);

  auto toDefault = server->play("", 48000, 2, tone(1000, 0.5, 2.5, 48000, 2));
  auto toOther = server->play("other", 48000, 2, tone(2500, 0.5, 2.5, 48000, 2));

  // Once the stream runs, it carries 32000 bytes a second of wall-clock time.
  const auto warmUp = corvane->readStdout(kBytesPerSecond / 2, 5s);
  ASSERT_EQ(warmUp.size(), kBytesPerSecond / 2);
  const auto begin = Clock::now();
  const auto timed = corvane->readStdout(3 * kBytesPerSecond / 2, 5s);
  const std::chrono::duration<double> took = Clock::now() - begin;
  ASSERT_EQ(timed.size(), 3 * kBytesPerSecond / 2);
  EXPECT_GT(took.count(), 1.2);
  EXPECT_LT(took.count(), 1.9);

  std::vector<std::byte> all = warmUp;
  all.insert(all.end(), timed.begin(), timed.end());
  // Half a second from well inside the tone: the other sink's tone would count
  // against the fit. The server mixes the sink's two channels down at its own gain.
  const auto samples = samplesOf(all);
  const auto onset = firstSound(samples, 2000);
  ASSERT_TRUE(onset && *onset + 1600 + 8000 < samples.size()) << "the tone never arrived";
  const auto fit = fitTone(std::span(samples).subspan(*onset + 1600, 8000), 1000, 16000);
  const double expected = server->stereoToMonoGain() * 0.5 * 32767;
  EXPECT_NEAR(fit.amplitude, expected, 0.05 * expected);
  EXPECT_GT(fit.snrDb, 60.0);

  expectStopsOn(SIGTERM, *corvane, "Received SIGTERM, stopping...\n");
  EXPECT_EQ(corvane->stderrText(),
            std::string(kStartedLine) + kFormatLine + "Received SIGTERM, stopping...\n");
}

// Arguments change nothing; SIGINT ends with its line and status 0. The
// broken-pipe signal keeps its default action: the reader going away ends
// corvane at its next write, with no line of its own.
TEST_F(Corvane, IgnoresArgumentsAndEndsOnSigintOrItsReaderGoingAway) {
  ASSERT_TRUE(addSink("speakers", true));
  auto corvane = startCorvane({"--device-id", "nothing", "-h"});
  auto readerGoes = startCorvane();
  expectStartsCapturing(*corvane);
  expectStartsCapturing(*readerGoes);
  EXPECT_FALSE(corvane->readStdout(3200, 2s).empty());
  expectStopsOn(SIGINT, *corvane, "Received SIGINT, stopping...\n");

  readerGoes->closeStdout();
  EXPECT_EQ(readerGoes->exitCode(3s), -SIGPIPE);
  EXPECT_EQ(readerGoes->stderrText(), std::string(kStartedLine) + kFormatLine);
}

TEST_F(Corvane, NoServerOrNoSinkEndsWithStatusOneAndItsLine) {
  auto corvane =
      startCorvane({}, {{"PULSE_SERVER", "unix:" + server->scratchDir() + "/nobody-listens"}});
  EXPECT_EQ(corvane->exitCode(7s), 1);
  EXPECT_EQ(corvane->stderrText(), "Failed to start capture: Connection refused\n");
  EXPECT_TRUE(corvane->readStdoutUntilClosed(1s).empty());

  corvane = startCorvane();
  EXPECT_EQ(corvane->exitCode(7s), 1);
  EXPECT_EQ(corvane->stderrText(), "Error: No displays found\n");
}

TEST_F(Corvane, TheSinkGoingOrTheServerDyingStopsTheStreamWithStatusOneWithinASecond) {
  auto stopsWith = [&](const std::function<void()>& cause, const std::string& reason) {
    auto corvane = startCorvane();
    expectStartsCapturing(*corvane);
    // Keep reading so that only the cause can stop the stream.
    ASSERT_FALSE(corvane->readStdout(3200, 2s).empty());
    cause();
    const auto caused = Clock::now();
    EXPECT_EQ(corvane->exitCode(3s), 1);
    EXPECT_LT(Clock::now() - caused, 1s);
    const std::string err = corvane->stderrText();
    EXPECT_TRUE(err.ends_with("Stream stopped with error: " + reason + "\n")) << err;
  };
  auto module = addSink("speakers", true);
  ASSERT_TRUE(module);
  stopsWith([&] { ASSERT_TRUE(server->unloadModule(*module)); }, "Entity killed");
  ASSERT_TRUE(addSink("spare", true));
  stopsWith([&] { server->kill(SIGKILL); }, "Connection terminated");
}

}  // namespace
