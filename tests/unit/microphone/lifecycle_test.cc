// The command line, the device-choice line, start-up order, and every way a run ends.
#include <signal.h>

#include "velloc_test_support.h"

namespace velloc::fake {
namespace {

std::string requested(const std::string& name) {
  return "[tamsel] Requested input device name: \"" + name + "\"\n";
}
std::string ignored(const std::string& arg) {
  return "[tamsel] WARNING: ignoring unknown arg: " + arg + "\n";
}

// Each argument list against every line up to and including the device-choice line.
TEST(CommandLineScan, WritesWarningsThenTheDeviceChoiceLine) {
  for (const auto& [args, expected] : std::vector<std::pair<Lines, Lines>>{
           {{}, {kNoDevice}},
           {{"--device-id", "USB Mic"}, {requested("USB Mic")}},
           {{"--device-id"},
            {"[tamsel] WARNING: --device-id passed without value, using system default\n",
             kNoDevice}},
           {{"--device-id", ""}, {kNoDevice}},
           {{"--device-id", "A", "--device-id", "B"}, {requested("B")}},
           {{"--device-id", "A", "--device-id", ""}, {requested("A")}},
           {{"--device-id", "--verbose"}, {requested("--verbose")}},
           {{"--device-id=Mic"}, {ignored("--device-id=Mic"), kNoDevice}},
           {{"-d", "Mic"}, {ignored("-d"), ignored("Mic"), kNoDevice}},
           {{"foo", "--device-id", "Mic", "bar"},
            {ignored("foo"), ignored("bar"), requested("Mic")}}}) {
    Velloc velloc;
    EXPECT_EQ(velloc.run(args), 0);
    const Lines all = velloc.transcript();
    EXPECT_EQ(Lines(all.begin(), all.begin() + std::min(all.size(), expected.size())), expected);
  }
}

const Lines kSetUpAndStart = {
    kNoDevice,
    kVoiceOff,
    kNative + "48000.0Hz, 2ch, commonFormat=1\n",
    kMakeTarget,
    kMakeFloat,
    "makeConverter(float32 48000.0Hz 2ch → float32 16000.0Hz 1ch)",
    "[tamsel] Audio converter: 48000.0Hz/2ch → 16000.0Hz/1ch (AVAudioConverter handles channel "
    "down-mix)\n",
    "installTap(bus 0, 4096 frames, float32 48000.0Hz 2ch)",
    kConverterTap,
    "start"};

// Parked until a stop signal, which ends the tool with its own line and status 0.
TEST_F(VellocTest, WholeRunWritesEveryLineInOrderUntilAStopSignal) {
  for (const auto& [signo, line] : {std::pair{SIGTERM, "[tamsel] Received SIGTERM, stopping...\n"},
                                    std::pair{SIGINT, "[tamsel] Received SIGINT, stopping...\n"}}) {
    Velloc velloc;
    velloc.platform.processControl.onPark = [&] {
      velloc.platform.processControl.deliverSignal(signo);
    };
    EXPECT_EQ(velloc.run(), 0);
    Lines expected = kSetUpAndStart;
    expected.insert(
        expected.end(),
        {"[tamsel] Raw mic capture started (16kHz, mono, 16-bit PCM → stdout)\n",
         "[tamsel] Voice processing: OFF\n", "installSignalHandlers", "parkMainThread", line});
    EXPECT_EQ(velloc.transcript(), expected);
  }
}

TEST_F(VellocTest, EngineThatFailsToStartEndsWithStatusOneBeforeTheStartedLines) {
  platform.startError = PlatformError{"The operation couldn’t be completed. (-10875)"};
  EXPECT_EQ(run(), 1);
  Lines expected = kSetUpAndStart;
  expected.push_back(
      "[tamsel] FATAL: engine.start() failed: The operation couldn’t be completed. (-10875)\n");
  EXPECT_EQ(transcript(), expected);
}

}  // namespace
}  // namespace velloc::fake
