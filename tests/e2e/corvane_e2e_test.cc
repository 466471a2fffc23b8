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

  // A 1 kHz tone played at half scale on a stereo sink, as the server mixes it
  // down to mono.
  void expectCleanTone(const std::vector<int16_t>& samples) {
    const auto fit = fitToneAfterOnset(samples, 1000);
    ASSERT_TRUE(fit) << "the tone never arrived";
    const double expected = server->stereoToMonoGain() * 0.5 * 32767;
    EXPECT_NEAR(fit->amplitude, expected, 0.05 * expected);
    EXPECT_GT(fit->snrDb, 60.0);
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
  expectCleanTone(samplesOf(all));

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

  // A server that has stopped answering is as good as none, within 5 s.
  server->kill(SIGSTOP);
  corvane = startCorvane();
  EXPECT_EQ(corvane->exitCode(5s), 1);
  server->kill(SIGCONT);
  EXPECT_EQ(corvane->stderrText(), "Failed to start capture: Timeout\n");
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

// The default output changes, is removed while another is left, and at last
// none is left: corvane moves each time, with one line, and the stream goes on
// in real time; with no output left it ends as when its sink goes.
TEST_F(Corvane, FollowsTheDefaultOutputUntilNoneIsLeft) {
  const auto first = addSink("first", true);
  const auto second = addSink("second", false);
  ASSERT_TRUE(first && second);
  auto corvane = startCorvane();
  expectStartsCapturing(*corvane);
  ASSERT_EQ(corvane->readStdout(kBytesPerSecond / 2, 5s).size(), kBytesPerSecond / 2);

  catchUp(*corvane);
  const auto began = Clock::now();
  ASSERT_EQ(server->pactl({"set-default-sink", "second"}), 0);
  const std::string moved = "Capturing the default output: second\n";
  auto all = readUntil(
      *corvane, [&](const std::string& text) { return text.find(moved) != std::string::npos; });
  const auto took = Clock::now() - began;
  ASSERT_NE(corvane->stderrText().find(moved), std::string::npos) << corvane->stderrText();
  EXPECT_LT(took, 500ms);

  auto player = server->play("second", 48000, 2, tone(1000, 0.5, 2.0, 48000, 2));
  const auto rest = corvane->readStdout(3 * kBytesPerSecond - all.size(), 5s);
  all.insert(all.end(), rest.begin(), rest.end());
  const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
  EXPECT_NEAR(all.size() / 2 / seconds, 16000.0, 800.0);

  expectCleanTone(samplesOf(all));

  // Ten switches within a second end on the last default, sound and all.
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(server->pactl({"set-default-sink", i % 2 ? "second" : "first"}), 0);
    corvane->readStdout(1600, 50ms);
  }
  auto onSecond = server->play("second", 48000, 2, tone(1000, 0.5, 1.5, 48000, 2));
  const auto flurry = samplesOf(corvane->readStdout(2 * kBytesPerSecond, 5s));
  EXPECT_TRUE(firstSound(flurry, 2000)) << "silence after the switches";
  std::string lines = corvane->stderrText();
  EXPECT_TRUE(lines.ends_with("Capturing the default output: second\n")) << lines;
  for (std::size_t at = 0;
       (at = lines.find('\n', at)) != std::string::npos && ++at < lines.size();) {
    EXPECT_TRUE(lines.compare(at, 10, "Capturing ") == 0 || lines.compare(at, 8, "[orrick]") == 0)
        << lines;
  }

  ASSERT_TRUE(server->unloadModule(*second));
  readUntil(*corvane, [](const std::string& text) {
    return text.ends_with("Capturing the default output: first\n");
  });
  EXPECT_TRUE(corvane->stderrText().ends_with("Capturing the default output: first\n"))
      << corvane->stderrText();
  EXPECT_FALSE(corvane->readStdout(3200, 2s).empty());

  ASSERT_TRUE(server->unloadModule(*first));
  const auto removed = Clock::now();
  EXPECT_EQ(corvane->exitCode(3s), 1);
  EXPECT_LT(Clock::now() - removed, 1s);
  EXPECT_NE(corvane->stderrText().find("Stream stopped with error: "), std::string::npos)
      << corvane->stderrText();
}

}  // namespace
