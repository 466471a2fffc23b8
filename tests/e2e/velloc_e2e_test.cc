// The real velloc binary against a private audio server with virtual
// microphones: what reaches standard output, which lines reach standard error,
// and how the process ends.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <limits>
#include <thread>

#include "tests/e2e/capture_checks.h"

namespace {

using namespace std::chrono_literals;
using namespace pulsetest;
using Clock = std::chrono::steady_clock;

constexpr char kStarted[] = "[tamsel] Voice processing: OFF\n";
constexpr char kFirstTap[] = "First tap callback fired";

class VellocTest : public ServerTest {
 protected:
  VirtualMicrophone addMic(const std::string& name, uint32_t rate, uint32_t channels,
                           const std::string& description) {
    std::string error;
    auto mic = server->addMicrophone(name, rate, channels, description, error);
    EXPECT_TRUE(mic) << error;
    return mic.value_or(VirtualMicrophone{});
  }
  std::unique_ptr<ChildProcess> startVelloc(std::vector<std::string> args,
                                            const Environment& changes = {},
                                            bool captureStdout = true) {
    args.insert(args.begin(), VELLOC_PATH);
    return launch(args, changes, captureStdout);
  }
};

// The default source, on the direct path: the first tap comes one tap (100 ms)
// after start, every value (beyond +-1 and infinities included) leaves by the
// per-sample rule, and a reader that stalls for 4 s loses nothing.
TEST_F(VellocTest, DirectPathIsPromptBitExactAndLosesNothingToAStalledReader) {
  addMic("other", 48000, 2, "Other Mic");
  addMic("mono16", 16000, 1, "Mono Mic");
  ASSERT_TRUE(server->setDefaultSource("mono16"));
  auto velloc = startVelloc({});
  ASSERT_TRUE(velloc->waitForStderr(kStarted, 5s)) << velloc->stderrText();
  const auto started = Clock::now();
  ASSERT_TRUE(velloc->waitForStderr("First tap callback fired (frameLength=1600)", 3s))
      << velloc->stderrText();
  EXPECT_LT(Clock::now() - started, 600ms);
  const std::string text = velloc->stderrText();
  EXPECT_NE(text.find("[tamsel] Native input format: 16000.0Hz, 1ch, commonFormat=1\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("[tamsel] Installed tap with Float32→Int16 conversion (no rate conversion "
                      "needed)\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("Audio converter"), std::string::npos) << text;

  const float inf = std::numeric_limits<float>::infinity();
  std::vector<float> played = {0.5f,  1.0f, -1.0f, 0.25f, -0.25f,    0.99999f, 1.5f,
                               -2.0f, inf,  -inf,  0.7f,  -0.00001f, 3e38f,    -1e-30f};
  for (int i = 0; i < 16000; ++i) played.push_back(std::sin(i * 0.01f) * 1.2f);
  const auto distinct = distinctSamples(16000 * 5);
  played.insert(played.end(), distinct.begin(), distinct.end());
  auto player = server->play("mono16_feed", 16000, 1, played);
  ASSERT_EQ(velloc->readStdout(2, 3s).size(), 2u);
  std::this_thread::sleep_for(4s);
  expectFedExactly(readSound(*velloc, played.size(), 10s), played);
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
  auto player = server->play("usb_feed", 48000, 2, tone(1000, 0.5, 3.0, 48000, 2));

  // Output flows at 16000 frames a second of wall-clock time.
  ASSERT_EQ(velloc->readStdout(2, 3s).size(), 2u);
  const auto began = Clock::now();
  const auto bytes = velloc->readStdoutUntilClosed(2500ms);
  const double elapsed = std::chrono::duration<double>(Clock::now() - began).count();
  EXPECT_NEAR(bytes.size() / 2 / elapsed, 16000.0, 1600.0);

  // A second well inside the tone must leave little but the 16-bit rounding
  // beside a 1 kHz sinusoid.
  const auto samples = samplesOf(bytes);
  const auto start = firstSound(samples);
  ASSERT_TRUE(start);
  ASSERT_GE(samples.size(), *start + 4000 + 16000);
  const auto fit = fitTone(std::span(samples).subspan(*start + 4000, 16000), 1000, 16000);
  EXPECT_NEAR(fit.amplitude, 0.5 * 32767, 0.01 * 32767);
  EXPECT_GT(fit.snrDb, 70.0);
}

// By description, monitors included; an NFD request matches an NFC description;
// the first of two equal names wins; other case or a trailing space is no match.
TEST_F(VellocTest, FindsDevicesByTheirDescription) {
  addMic("cafe", 16000, 1, "Caf\u00e9 Mic");
  addMic("twin_a", 16000, 1, "Twin Mic");
  addMic("twin_b", 16000, 1, "Twin Mic");
  const auto cafe = server->sourceIndex("cafe");
  const auto twin = server->sourceIndex("twin_a");
  const auto monitor = server->sourceIndex("cafe_feed.monitor");
  ASSERT_TRUE(cafe && twin && monitor);

  // Each request: lines that must come exactly once, and text that must not come.
  const std::string matched = "[tamsel] CoreAudio: matched input device \"";
  const auto noMatch = [](const std::string& name) {
    return "[tamsel] CoreAudio: no input device matched name \"" + name +
           "\" \u2014 falling back to system default\n";
  };
  const auto id = [](std::optional<uint32_t> index) { return std::to_string(*index); };
  struct Case {
    std::string request;
    std::vector<std::string> once;
    std::string never;
  };
  for (const auto& [request, once, never] : std::vector<Case>{
           {"Cafe\u0301 Mic",
            {matched + "Caf\u00e9 Mic\" (id=" + id(cafe) + ", channels=1)\n",
             "[tamsel] AudioUnit: bound input to device id=" + id(cafe) +
                 " (\"Cafe\u0301 Mic\")\n"},
            "no input device"},
           {"Twin Mic",
            {"matched input device", matched + "Twin Mic\" (id=" + id(twin) + ","},
            "no input device"},
           {"Monitor of Feed of cafe",
            {matched + "Monitor of Feed of cafe\" (id=" + id(monitor) + ", channels=1)\n"},
            "no input device"},
           {"twin mic", {noMatch("twin mic")}, "AudioUnit:"},
           {"Twin Mic ", {noMatch("Twin Mic ")}, "AudioUnit:"}}) {
    auto velloc = startVelloc({"--device-id", request});
    EXPECT_TRUE(velloc->waitForStderr(kStarted, 5s)) << velloc->stderrText();
    const std::string text = velloc->stderrText();
    for (const auto& line : once) EXPECT_EQ(occurrences(text, line), 1u) << line << "\n" << text;
    EXPECT_EQ(occurrences(text, never), 0u) << text;
  }
}

// A stop signal gives its line and status 0; the reader going away ends velloc
// by the broken-pipe signal.
TEST_F(VellocTest, EndsOnSigintSigtermOrItsReaderGoingAway) {
  addMic("mono16", 16000, 1, "Mono Mic");
  auto onSigint = startVelloc({}), onSigterm = startVelloc({}), readerGoes = startVelloc({});
  ASSERT_EQ(readerGoes->readStdout(2, 5s).size(), 2u) << readerGoes->stderrText();
  readerGoes->closeStdout();
  EXPECT_EQ(readerGoes->exitCode(2s), -SIGPIPE);
  ASSERT_TRUE(onSigint->waitForStderr(kFirstTap, 5s)) << onSigint->stderrText();
  ASSERT_TRUE(onSigterm->waitForStderr(kFirstTap, 5s)) << onSigterm->stderrText();
  expectStopsOn(SIGINT, *onSigint, "[tamsel] Received SIGINT, stopping...\n");
  expectStopsOn(SIGTERM, *onSigterm, "[tamsel] Received SIGTERM, stopping...\n");
}

// The FATAL line comes within a second; the exit itself may take longer under a
// sanitizer that pauses at exit.
TEST_F(VellocTest, TheSourceDisappearingOrTheServerDyingEndsCaptureWithStatusOne) {
  auto usb = addMic("usb", 48000, 2, "USB Mic");
  addMic("mono16", 16000, 1, "Mono Mic");
  // One writes to /dev/null; the other's reader has stalled, its pipe full by
  // the time the server dies, which must not hold the FATAL line back.
  auto onUsb = startVelloc({"--device-id", "USB Mic"}, {}, false);
  auto onMono = startVelloc({"--device-id", "Mono Mic"});
  ASSERT_TRUE(onUsb->waitForStderr(kFirstTap, 5s)) << onUsb->stderrText();
  ASSERT_TRUE(onMono->waitForStderr(kFirstTap, 5s)) << onMono->stderrText();

  ASSERT_TRUE(server->unloadModule(usb.sourceModule));
  EXPECT_TRUE(onUsb->waitForStderr("[tamsel] FATAL: audio stream failed: Entity killed\n", 1s))
      << onUsb->stderrText();
  EXPECT_EQ(onUsb->exitCode(3s), 1);

  std::this_thread::sleep_for(3s);  // 96 kB: more than a pipe holds
  server->kill(SIGKILL);
  EXPECT_TRUE(
      onMono->waitForStderr("[tamsel] FATAL: audio stream failed: Connection terminated\n", 1s))
      << onMono->stderrText();
  EXPECT_EQ(onMono->exitCode(3s), 1);
}

// No server, and one that has stopped answering, end alike within 5 s.
TEST_F(VellocTest, NoServerOrOneThatStoppedAnsweringWarnsAndEndsWithStatusTwo) {
  for (const bool stopped : {false, true}) {
    if (stopped) server->kill(SIGSTOP);
    const Environment elsewhere{
        {"PULSE_SERVER", "unix:" + server->scratchDir() + "/no-server-here"}};
    auto velloc = startVelloc({}, stopped ? Environment{} : elsewhere);
    EXPECT_EQ(velloc->exitCode(5s), 2);
    if (stopped) server->kill(SIGCONT);
    EXPECT_TRUE(velloc->readStdoutUntilClosed(1s).empty());
    const std::string text = velloc->stderrText();
    EXPECT_NE(text.find(std::string("[tamsel] WARNING: audio server unreachable: ") +
                        (stopped ? "Timeout" : "Connection refused") +
                        "\n[tamsel] Native input format: 0.0Hz, 0ch, commonFormat=1\n"
                        "[tamsel] FATAL: native input format is degenerate (channels=0, "
                        "rate=0.0)."),
              std::string::npos)
        << text;
  }
}

// Without a device name velloc follows the default input, with one line a move,
// and keeps its format (here 48 kHz stereo from the first input, the server
// converting the second's mono); a named device stays where it is.
TEST_F(VellocTest, FollowsTheDefaultInputUnlessADeviceWasNamed) {
  const auto one = addMic("one", 48000, 2, "Mic One");
  const auto two = addMic("two", 48000, 1, "Mic Two");
  ASSERT_TRUE(server->setDefaultSource("one"));
  auto following = startVelloc({});
  auto named = startVelloc({"--device-id", "Mic One"}, {}, false);
  ASSERT_TRUE(following->waitForStderr(kFirstTap, 5s)) << following->stderrText();
  ASSERT_TRUE(named->waitForStderr(kFirstTap, 5s)) << named->stderrText();
  ASSERT_FALSE(following->readStdout(3200, 2s).empty());

  catchUp(*following);
  const auto began = Clock::now();
  ASSERT_TRUE(server->setDefaultSource("two"));
  const std::string moved = "[tamsel] Default input changed: capturing \"Mic Two\"\n";
  auto all = readUntil(
      *following, [&](const std::string& text) { return text.find(moved) != std::string::npos; });
  ASSERT_NE(following->stderrText().find(moved), std::string::npos) << following->stderrText();
  EXPECT_LT(Clock::now() - began, 500ms);

  auto player = server->play("two_feed", 48000, 1, tone(1000, 0.5, 2.0, 48000, 1));
  const auto rest = following->readStdout(3 * 32000 - all.size(), 5s);
  all.insert(all.end(), rest.begin(), rest.end());
  const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
  EXPECT_NEAR(all.size() / 2 / seconds, 16000.0, 800.0);
  const auto samples = samplesOf(all);
  const auto fit = fitToneAfterOnset(samples, 1000);
  ASSERT_TRUE(fit) << "the tone never arrived";
  // The server spreads the mono input over both channels at its own gain.
  EXPECT_GT(fit->amplitude, 0.3 * 32767);
  EXPECT_LT(fit->amplitude, 0.75 * 32767);
  EXPECT_GT(fit->snrDb, 50.0);

  // The default input removed with another left: a move, not an end.
  ASSERT_TRUE(server->unloadModule(two.sourceModule));
  readUntil(*following, [](const std::string& text) {
    return occurrences(text, "Default input changed") >= 2;
  });
  EXPECT_EQ(occurrences(following->stderrText(), "Default input changed"), 2u)
      << following->stderrText();
  EXPECT_FALSE(following->readStdout(3200, 2s).empty());
  EXPECT_EQ(following->waitForExit(0ms), std::nullopt);

  EXPECT_EQ(named->stderrText().find("Default input changed"), std::string::npos)
      << named->stderrText();
  EXPECT_EQ(named->waitForExit(0ms), std::nullopt);

  // With every source gone (the monitors went with their sinks) both end: the
  // named one with its device, the other once no default is left.
  for (const uint32_t module : {one.sourceModule, one.sinkModule, two.sinkModule}) {
    ASSERT_TRUE(server->unloadModule(module));
  }
  const auto emptied = Clock::now();
  EXPECT_EQ(following->exitCode(3s), 1);
  EXPECT_LT(Clock::now() - emptied, 1500ms);
  EXPECT_NE(following->stderrText().find("[tamsel] FATAL: audio stream failed: "),
            std::string::npos)
      << following->stderrText();
  EXPECT_EQ(named->exitCode(3s), 1);
}

// A reader that stalls for 30 s on a 192 kHz 8-channel input gets every sample
// once it reads again: the backlog is held after conversion (32 kB a second,
// not the input's 6 MB), while the server is read on.
TEST_F(VellocTest, AReaderStalledThirtySecondsOnAHugeInputLosesNothing) {
  const char* kind = std::getenv("CAPTURE_TEST_SERVER");
  if (kind != nullptr && std::string(kind) == "pipewire") GTEST_SKIP() << "once is enough";
  addMic("big", 192000, 8, "Big Mic");
  auto velloc = startVelloc({"--device-id", "Big Mic"});
  ASSERT_TRUE(velloc->waitForStderr(kFirstTap, 5s)) << velloc->stderrText();
  const auto firstTap = Clock::now();
  std::this_thread::sleep_for(30s);
  // Caught up once a third of a second brings no more than real time does.
  std::vector<std::byte> all;
  for (std::size_t got = SIZE_MAX; got > 16000;) {
    const auto more = velloc->readStdout(1 << 20, 333ms);
    got = more.size();
    all.insert(all.end(), more.begin(), more.end());
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - firstTap).count();
  // What the time since the first tap is worth, less the converter's delay and
  // the block in flight.
  EXPECT_NEAR(all.size() / 32000.0, seconds, 0.25) << velloc->stderrText();
  EXPECT_EQ(velloc->stderrText().find("WARNING"), std::string::npos) << velloc->stderrText();
}

// Stopped for 15 s, velloc relies on the server's queue, which holds about 11 s
// of 48 kHz stereo float: what the server dropped is said, never silently lost.
TEST_F(VellocTest, AudioTheServerDropsWhileVellocIsStoppedIsReported) {
  addMic("usb", 48000, 2, "USB Mic");
  auto velloc = startVelloc({"--device-id", "USB Mic"});
  ASSERT_TRUE(velloc->waitForStderr(kFirstTap, 5s)) << velloc->stderrText();
  const auto firstTap = Clock::now();
  std::vector<std::byte> all = velloc->readStdout(32000, 3s);
  velloc->sendSignal(SIGSTOP);
  std::this_thread::sleep_for(15s);
  velloc->sendSignal(SIGCONT);
  // Reads until caught up and a few seconds more, for the line to come.
  for (auto until = Clock::now() + 8s; Clock::now() < until;) {
    const auto more = velloc->readStdout(1 << 20, 200ms);
    all.insert(all.end(), more.begin(), more.end());
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - firstTap).count();
  const double missingMs = (seconds - all.size() / 32000.0) * 1000.0;
  const std::string text = velloc->stderrText();
  const std::string warning = "[tamsel] WARNING: the audio server dropped ";
  const auto at = text.find(warning);
  if (missingMs < 400) {
    EXPECT_EQ(at, std::string::npos) << text;
  } else {
    ASSERT_NE(at, std::string::npos) << missingMs << " ms missing without a line\n" << text;
    EXPECT_NEAR(std::stod(text.substr(at + warning.size())), missingMs, 400) << text;
  }
}

}  // namespace
