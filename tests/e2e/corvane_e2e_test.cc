// corvane end to end: the real binary against a private audio server.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <numbers>

#include "tests/e2e/pulse_test_server.h"

namespace {

using namespace std::chrono_literals;
using pulsetest::ChildProcess;
using pulsetest::PulseTestServer;
using Clock = std::chrono::steady_clock;

constexpr const char* kStartedLine = "System audio capture started (16kHz mono PCM → stdout)\n";
constexpr const char* kFormatLine =
    "[orrick] ASBD sampleRate=16000.0 channels=1 bitsPerChannel=32 float=true "
    "nonInterleaved=false bytesPerFrame=4\n";
constexpr std::size_t kBytesPerSecond = 32000;

std::vector<float> tone(double frequency, double amplitude, double seconds, uint32_t rate,
                        uint32_t channels) {
  const auto frames = static_cast<std::size_t>(seconds * rate);
  std::vector<float> samples;
  samples.reserve(frames * channels);
  for (std::size_t i = 0; i < frames; ++i) {
    const auto value =
        static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * frequency * i / rate));
    for (uint32_t c = 0; c < channels; ++c) samples.push_back(value);
  }
  return samples;
}

std::vector<int16_t> samplesOf(const std::vector<std::byte>& bytes) {
  std::vector<int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), 2 * samples.size());
  return samples;
}

// Share of the signal's energy at `frequency` (Goertzel over a whole number of
// periods, so no leakage).
double energyShareAt(const std::vector<double>& x, double frequency, double rate) {
  const double w = 2 * std::numbers::pi * frequency / rate;
  double re = 0, im = 0, total = 0;
  for (std::size_t n = 0; n < x.size(); ++n) {
    re += x[n] * std::cos(w * n);
    im -= x[n] * std::sin(w * n);
    total += x[n] * x[n];
  }
  return total == 0 ? 0 : 2 * (re * re + im * im) / (x.size() * total);
}

class Corvane : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    server = PulseTestServer::start(error);
    ASSERT_TRUE(server) << error;
  }

  std::optional<uint32_t> addSink(const std::string& name, bool makeDefault) {
    std::string error;
    auto module = server->addSink(name, 48000, 2, name, makeDefault, error);
    EXPECT_TRUE(module) << error;
    return module;
  }

  std::unique_ptr<ChildProcess> startCorvane(std::vector<std::string> args = {},
                                             std::optional<std::string> serverAddress = {}) {
    args.insert(args.begin(), CORVANE_PATH);
    auto options = server->childOptions();
    if (serverAddress) options.environment["PULSE_SERVER"] = *serverAddress;
    auto corvane = ChildProcess::start(args, options);
    EXPECT_TRUE(corvane);
    return corvane;
  }

  // The status of a normal exit, or minus the signal that ended the process.
  static int endOf(ChildProcess& corvane, std::chrono::milliseconds within = 3s) {
    const auto status = corvane.waitForExit(within);
    if (!status) return 1000;
    return pulsetest::describeStatus(*status);
  }

  // An idle null sink sleeps up to two seconds before it first renders, so the
  // first buffer may take that long.
  void expectStartsCapturing(ChildProcess& corvane) {
    ASSERT_TRUE(corvane.waitForStderr(kStartedLine, 5s)) << corvane.stderrText();
    ASSERT_TRUE(corvane.waitForStderr(kFormatLine, 5s)) << corvane.stderrText();
  }

  std::unique_ptr<PulseTestServer> server;
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
  const auto samples = samplesOf(all);
  // Half a second from well inside the tone.
  std::size_t onset = 0;
  while (onset < samples.size() && std::abs(samples[onset]) < 2000) ++onset;
  ASSERT_LT(onset + 1600 + 8000, samples.size()) << "the tone never arrived";
  std::vector<double> window(samples.begin() + onset + 1600, samples.begin() + onset + 9600);

  EXPECT_GT(energyShareAt(window, 1000, 16000), 0.99);
  EXPECT_LT(energyShareAt(window, 2500, 16000), 0.001);
  double sumSquares = 0;
  for (double v : window) sumSquares += v * v;
  const double rms = std::sqrt(sumSquares / window.size());
  // The server mixes the sink's two channels down to one, at its own gain.
  const double expectedRms = server->stereoToMonoGain() * 0.5 * 32767 / std::sqrt(2.0);
  EXPECT_NEAR(rms, expectedRms, 0.05 * expectedRms);

  corvane->sendSignal(SIGTERM);
  EXPECT_EQ(endOf(*corvane), 0);
  const std::string expectedTail = "Received SIGTERM, stopping...\n";
  const std::string err = corvane->stderrText();
  EXPECT_EQ(err.size(), std::strlen(kStartedLine) + std::strlen(kFormatLine) + expectedTail.size())
      << err;
  EXPECT_TRUE(err.ends_with(expectedTail)) << err;
}

// Arguments change nothing; SIGINT ends with its line and status 0.
TEST_F(Corvane, IgnoresArgumentsAndStopsOnSigint) {
  ASSERT_TRUE(addSink("speakers", true));
  auto corvane = startCorvane({"--device-id", "nothing", "-h"});
  expectStartsCapturing(*corvane);
  EXPECT_FALSE(corvane->readStdout(3200, 2s).empty());

  corvane->sendSignal(SIGINT);
  EXPECT_EQ(endOf(*corvane), 0);
  const std::string err = corvane->stderrText();
  EXPECT_TRUE(err.ends_with("Received SIGINT, stopping...\n")) << err;
  EXPECT_EQ(err.find("Received SIGINT"), err.rfind("Received SIGINT"));
}

TEST_F(Corvane, NoServerFailsToStartWithTheServersReason) {
  auto corvane = startCorvane({}, "unix:" + server->scratchDir() + "/nobody-listens");
  EXPECT_EQ(endOf(*corvane, 7s), 1);
  EXPECT_EQ(corvane->stderrText(), "Failed to start capture: Connection refused\n");
  EXPECT_TRUE(corvane->readStdoutUntilClosed(1s).empty());
}

TEST_F(Corvane, NoSinkMeansNoDisplay) {
  auto corvane = startCorvane();
  EXPECT_EQ(endOf(*corvane, 7s), 1);
  EXPECT_EQ(corvane->stderrText(), "Error: No displays found\n");
}

TEST_F(Corvane, ARemovedSinkStopsTheStreamWithStatusOneWithinASecond) {
  auto module = addSink("speakers", true);
  ASSERT_TRUE(module);
  auto corvane = startCorvane();
  expectStartsCapturing(*corvane);
  // Keep reading so that only the removal can stop the stream.
  ASSERT_FALSE(corvane->readStdout(3200, 2s).empty());

  ASSERT_TRUE(server->unloadModule(*module));
  const auto removed = Clock::now();
  EXPECT_EQ(endOf(*corvane), 1);
  EXPECT_LT(Clock::now() - removed, 1s);
  const std::string err = corvane->stderrText();
  EXPECT_TRUE(err.ends_with("Stream stopped with error: Entity killed\n")) << err;
}

TEST_F(Corvane, TheServerDyingStopsTheStreamWithStatusOneWithinASecond) {
  ASSERT_TRUE(addSink("speakers", true));
  auto corvane = startCorvane();
  expectStartsCapturing(*corvane);
  ASSERT_FALSE(corvane->readStdout(3200, 2s).empty());

  server->kill(SIGKILL);
  const auto killed = Clock::now();
  EXPECT_EQ(endOf(*corvane), 1);
  EXPECT_LT(Clock::now() - killed, 1s);
  const std::string err = corvane->stderrText();
  EXPECT_TRUE(err.ends_with("Stream stopped with error: Connection terminated\n")) << err;
}

// The broken-pipe signal keeps its default action: the reader going away ends
// corvane at its next write, with no line of its own.
TEST_F(Corvane, TheReaderGoingAwayEndsItByTheBrokenPipeSignal) {
  ASSERT_TRUE(addSink("speakers", true));
  auto corvane = startCorvane();
  expectStartsCapturing(*corvane);
  corvane->closeStdout();
  EXPECT_EQ(endOf(*corvane), -SIGPIPE);
  EXPECT_EQ(corvane->stderrText().find("FATAL"), std::string::npos);
}

}  // namespace
