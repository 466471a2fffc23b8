// The real velloc binary against a private audio server with virtual
// microphones: what reaches standard output, which lines reach standard error,
// and how the process ends.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <thread>

#include "common/sample_rule.h"
#include "tests/e2e/pulse_test_server.h"

namespace {

using namespace std::chrono_literals;
using pulsetest::ChildProcess;
using pulsetest::describeStatus;
using pulsetest::PulseTestServer;
using pulsetest::VirtualMicrophone;
using Clock = std::chrono::steady_clock;

constexpr char kStarted[] = "[tamsel] Voice processing: OFF\n";

std::vector<int16_t> samplesOf(const std::vector<std::byte>& bytes) {
  std::vector<int16_t> samples(bytes.size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<int16_t>(static_cast<uint16_t>(bytes[2 * i]) |
                                      static_cast<uint16_t>(bytes[2 * i + 1]) << 8);
  }
  return samples;
}

std::vector<int16_t> expectedFor(const std::vector<float>& played) {
  std::vector<int16_t> expected;
  for (float s : played) expected.push_back(pcm::sampleFromFloat(s));
  return expected;
}

// Where `expected` starts in `got`: the first sample that is not silence.
std::optional<std::size_t> firstSound(const std::vector<int16_t>& got) {
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (got[i] != 0) return i;
  }
  return std::nullopt;
}

class VellocTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    server = PulseTestServer::start(error);
    ASSERT_TRUE(server) << error;
  }

  VirtualMicrophone addMic(const std::string& name, uint32_t rate, uint32_t channels,
                           const std::string& description) {
    std::string error;
    auto mic = server->addMicrophone(name, rate, channels, description, error);
    EXPECT_TRUE(mic) << error;
    return mic.value_or(VirtualMicrophone{});
  }

  std::unique_ptr<ChildProcess> startVelloc(const std::vector<std::string>& args,
                                            std::optional<ChildProcess::Options> options = {}) {
    std::vector<std::string> argv = {VELLOC_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    auto child = ChildProcess::start(argv, options.value_or(server->childOptions()));
    EXPECT_TRUE(child);
    return child;
  }

  // Reads until `count` samples follow the first non-silent one.
  std::vector<int16_t> readSound(ChildProcess& velloc, std::size_t count,
                                 std::chrono::milliseconds timeout) {
    std::vector<int16_t> got;
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      auto bytes = velloc.readStdout(3200, 200ms);
      auto more = samplesOf(bytes);
      got.insert(got.end(), more.begin(), more.end());
      auto start = firstSound(got);
      if (start && got.size() - *start >= count) {
        return {got.begin() + static_cast<std::ptrdiff_t>(*start),
                got.begin() + static_cast<std::ptrdiff_t>(*start + count)};
      }
    }
    return {};
  }

  std::unique_ptr<PulseTestServer> server;
};

TEST_F(VellocTest, DirectPathIsBitExactToTheSampleRuleAndStartsPromptly) {
  addMic("mono16", 16000, 1, "Mono Mic");
  auto velloc = startVelloc({"--device-id", "Mono Mic"});
  ASSERT_TRUE(velloc->waitForStderr(kStarted, 5s)) << velloc->stderrText();
  const auto started = Clock::now();
  ASSERT_TRUE(velloc->waitForStderr("First tap callback fired (frameLength=1600)", 3s))
      << velloc->stderrText();
  // One tap of 1600 frames is 100 ms of audio.
  EXPECT_LT(Clock::now() - started, 600ms);

  const float inf = std::numeric_limits<float>::infinity();
  std::vector<float> played = {0.5f,  1.0f, -1.0f, 0.25f, -0.25f,    0.99999f, 1.5f,
                               -2.0f, inf,  -inf,  0.7f,  -0.00001f, 3e38f,    -1e-30f};
  for (int i = 0; i < 16000; ++i) played.push_back(std::sin(i * 0.01f) * 1.2f);
  auto player = server->play("mono16_feed", 16000, 1, played);
  const auto got = readSound(*velloc, played.size(), 8s);
  ASSERT_EQ(got, expectedFor(played));

  const std::string text = velloc->stderrText();
  EXPECT_NE(text.find("[tamsel] Installed tap with Float32→Int16 conversion (no rate conversion "
                      "needed)\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("Audio converter"), std::string::npos) << text;
}

TEST_F(VellocTest, ConverterPathTurnsA48kStereoToneIntoACleanToneAtTheRealTimeRate) {
  addMic("usb", 48000, 2, "USB Mic");
  auto velloc = startVelloc({"--device-id", "USB Mic"});
  ASSERT_TRUE(velloc->waitForStderr(kStarted, 5s)) << velloc->stderrText();
  const std::string text = velloc->stderrText();
  EXPECT_NE(text.find("[tamsel] Native input format: 48000.0Hz, 2ch, commonFormat=1\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("[tamsel] Audio converter: 48000.0Hz/2ch → 16000.0Hz/1ch"), std::string::npos)
      << text;

  const double seconds = 3.0;
  std::vector<float> tone;
  for (int i = 0; i < static_cast<int>(48000 * seconds); ++i) {
    const float v = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 1000.0 * i / 48000.0));
    tone.push_back(v);
    tone.push_back(v);
  }
  auto player = server->play("usb_feed", 48000, 2, tone);

  // Output flows at 16000 frames a second of wall-clock time.
  auto first = velloc->readStdout(2, 3s);
  ASSERT_EQ(first.size(), 2u);
  const auto began = Clock::now();
  std::vector<std::byte> bytes;
  while (Clock::now() - began < 2500ms) {
    auto more = velloc->readStdout(4096, 100ms);
    bytes.insert(bytes.end(), more.begin(), more.end());
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - began).count();
  EXPECT_NEAR(bytes.size() / 2 / elapsed, 16000.0, 1600.0);

  // A stretch well inside the tone: a least-squares fit of a 1 kHz sinusoid must
  // leave little but the 16-bit rounding behind.
  auto samples = samplesOf(bytes);
  auto start = firstSound(samples);
  ASSERT_TRUE(start);
  const std::size_t from = *start + 4000, count = 16000;
  ASSERT_GE(samples.size(), from + count);
  double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
  for (std::size_t i = from; i < from + count; ++i) {
    const double w = 2 * std::numbers::pi * 1000.0 * static_cast<double>(i) / 16000.0;
    ss += std::sin(w) * std::sin(w), cc += std::cos(w) * std::cos(w);
    sc += std::sin(w) * std::cos(w);
    ys += samples[i] * std::sin(w), yc += samples[i] * std::cos(w);
  }
  const double det = ss * cc - sc * sc;
  const double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
  double signal = 0, noise = 0;
  for (std::size_t i = from; i < from + count; ++i) {
    const double w = 2 * std::numbers::pi * 1000.0 * static_cast<double>(i) / 16000.0;
    const double model = a * std::sin(w) + b * std::cos(w);
    signal += model * model;
    noise += (samples[i] - model) * (samples[i] - model);
  }
  EXPECT_NEAR(std::hypot(a, b), 0.5 * 32767, 0.01 * 32767);
  EXPECT_GT(10 * std::log10(signal / noise), 70.0);
}

TEST_F(VellocTest, FindsDevicesByTheirDescription) {
  addMic("cafe", 16000, 1, "Caf\u00e9 Mic");
  addMic("twin_a", 16000, 1, "Twin Mic");
  addMic("twin_b", 16000, 1, "Twin Mic");
  const auto cafe = server->sourceIndex("cafe");
  const auto twin = server->sourceIndex("twin_a");
  ASSERT_TRUE(cafe && twin);

  auto stderrFor = [&](const std::string& name) {
    auto velloc = startVelloc({"--device-id", name});
    EXPECT_TRUE(velloc->waitForStderr(kStarted, 5s)) << velloc->stderrText();
    return velloc->stderrText();
  };
  auto count = [](const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  };

  // The request spells the accent with a combining mark; the description has it precomposed.
  std::string text = stderrFor("Cafe\u0301 Mic");
  EXPECT_EQ(count(text, "[tamsel] CoreAudio: matched input device \"Caf\u00e9 Mic\" (id=" +
                            std::to_string(*cafe) + ", channels=1)\n"),
            1u)
      << text;
  EXPECT_EQ(count(text, "[tamsel] AudioUnit: bound input to device id=" + std::to_string(*cafe) +
                            " (\"Cafe\u0301 Mic\")\n"),
            1u)
      << text;

  text = stderrFor("Twin Mic");
  EXPECT_EQ(count(text, "matched input device"), 1u) << text;
  EXPECT_EQ(count(text, "matched input device \"Twin Mic\" (id=" + std::to_string(*twin) + ","), 1u)
      << text;

  for (const std::string name : {"twin mic", "Twin Mic "}) {
    text = stderrFor(name);
    EXPECT_EQ(count(text, "[tamsel] CoreAudio: no input device matched name \"" + name +
                              "\" \u2014 falling back to system default\n"),
              1u)
        << text;
    EXPECT_EQ(count(text, "AudioUnit:"), 0u) << text;
  }
}

TEST_F(VellocTest, SigintAndSigtermEndWithTheirLineAndStatusZero) {
  addMic("mono16", 16000, 1, "Mono Mic");
  for (const auto& [signo, line] :
       {std::pair{SIGINT, "[tamsel] Received SIGINT, stopping...\n"},
        std::pair{SIGTERM, "[tamsel] Received SIGTERM, stopping...\n"}}) {
    auto velloc = startVelloc({});
    ASSERT_TRUE(velloc->waitForStderr("First tap callback fired", 5s)) << velloc->stderrText();
    velloc->sendSignal(signo);
    auto status = velloc->waitForExit(2s);
    ASSERT_TRUE(status);
    EXPECT_EQ(describeStatus(*status), 0);
    const std::string text = velloc->stderrText();
    ASSERT_GE(text.size(), std::strlen(line));
    EXPECT_EQ(text.substr(text.size() - std::strlen(line)), line);
  }
}

TEST_F(VellocTest, EndsWhenItsReaderGoesAway) {
  addMic("mono16", 16000, 1, "Mono Mic");
  auto velloc = startVelloc({});
  ASSERT_EQ(velloc->readStdout(2, 5s).size(), 2u) << velloc->stderrText();
  velloc->closeStdout();
  auto status = velloc->waitForExit(2s);
  ASSERT_TRUE(status);
  EXPECT_EQ(describeStatus(*status), -SIGPIPE);
}

TEST_F(VellocTest, AReaderStalledForFourSecondsLosesNothing) {
  addMic("other", 48000, 2, "Other Mic");
  addMic("mono16", 16000, 1, "Mono Mic");
  ASSERT_TRUE(server->setDefaultSource("mono16"));
  auto velloc = startVelloc({});
  ASSERT_TRUE(velloc->waitForStderr(kStarted, 5s)) << velloc->stderrText();

  // Distinct, exactly representable values: a lost or repeated block shows.
  std::vector<float> played;
  for (int i = 0; i < 16000 * 6; ++i)
    played.push_back((1.5f + static_cast<float>(i % 30000)) / 32767.0f);
  auto player = server->play("mono16_feed", 16000, 1, played);
  ASSERT_EQ(velloc->readStdout(2, 3s).size(), 2u);
  std::this_thread::sleep_for(4s);
  const auto got = readSound(*velloc, played.size(), 10s);
  ASSERT_EQ(got.size(), played.size());
  EXPECT_TRUE(got == expectedFor(played));
}

TEST_F(VellocTest, TheServerDyingEndsCaptureWithStatusOne) {
  addMic("mono16", 16000, 1, "Mono Mic");
  auto velloc = startVelloc({});
  ASSERT_TRUE(velloc->waitForStderr("First tap callback fired", 5s)) << velloc->stderrText();
  server->kill(SIGKILL);
  // The line comes within a second; the exit itself may take longer under a
  // sanitizer that pauses at exit.
  EXPECT_TRUE(
      velloc->waitForStderr("[tamsel] FATAL: audio stream failed: Connection terminated\n", 1s))
      << velloc->stderrText();
  auto status = velloc->waitForExit(3s);
  ASSERT_TRUE(status);
  EXPECT_EQ(describeStatus(*status), 1);
}

TEST_F(VellocTest, TheSourceDisappearingEndsCaptureWithStatusOne) {
  auto mic = addMic("usb", 48000, 2, "USB Mic");
  auto velloc = startVelloc({"--device-id", "USB Mic"});
  ASSERT_TRUE(velloc->waitForStderr("First tap callback fired", 5s)) << velloc->stderrText();
  ASSERT_TRUE(server->unloadModule(mic.sourceModule));
  EXPECT_TRUE(velloc->waitForStderr("[tamsel] FATAL: audio stream failed: Entity killed\n", 1s))
      << velloc->stderrText();
  auto status = velloc->waitForExit(3s);
  ASSERT_TRUE(status);
  EXPECT_EQ(describeStatus(*status), 1);
}

TEST_F(VellocTest, NoServerWarnsAndEndsWithStatusTwo) {
  auto options = server->childOptions();
  options.environment["PULSE_SERVER"] = "unix:" + server->scratchDir() + "/no-server-here";
  auto velloc = startVelloc({}, options);
  auto status = velloc->waitForExit(3s);
  ASSERT_TRUE(status);
  EXPECT_EQ(describeStatus(*status), 2);
  EXPECT_TRUE(velloc->readStdoutUntilClosed(1s).empty());
  const std::string text = velloc->stderrText();
  EXPECT_NE(text.find("[tamsel] WARNING: audio server unreachable: Connection refused\n"
                      "[tamsel] Native input format: 0.0Hz, 0ch, commonFormat=1\n"
                      "[tamsel] FATAL: native input format is degenerate (channels=0, rate=0.0)."),
            std::string::npos)
      << text;
}

}  // namespace
