// The command line, the device-choice line, start-up order, and every way a run ends.
#include <signal.h>

#include "velloc_test_support.h"

namespace velloc::fake {
namespace {

using Lines = std::vector<std::string>;

struct ScanCase {
  std::vector<std::string> args;
  Lines expected;  // every line up to and including the device-choice line
};

class CommandLineScan : public VellocTest, public ::testing::WithParamInterface<ScanCase> {};

TEST_P(CommandLineScan, WritesWarningsThenTheDeviceChoiceLine) {
  run(GetParam().args);
  const Lines all = lines();
  std::size_t choice = 0;
  while (choice < all.size() &&
         all[choice].find("Requested input device name") == std::string::npos &&
         all[choice].find("No --device-id arg") == std::string::npos) {
    ++choice;
  }
  ASSERT_LT(choice, all.size());
  EXPECT_EQ(Lines(all.begin(), all.begin() + choice + 1), GetParam().expected);
}

const char kDefault[] = "[tamsel] No --device-id arg, using system default input\n";

INSTANTIATE_TEST_SUITE_P(
    Arguments, CommandLineScan,
    ::testing::Values(
        ScanCase{{}, {kDefault}},
        ScanCase{{"--device-id", "USB Mic"},
                 {"[tamsel] Requested input device name: \"USB Mic\"\n"}},
        ScanCase{{"--device-id"},
                 {"[tamsel] WARNING: --device-id passed without value, using system default\n",
                  kDefault}},
        ScanCase{{"--device-id", ""}, {kDefault}},
        ScanCase{{"--device-id", "A", "--device-id", "B"},
                 {"[tamsel] Requested input device name: \"B\"\n"}},
        ScanCase{{"--device-id", "A", "--device-id", ""},
                 {"[tamsel] Requested input device name: \"A\"\n"}},
        ScanCase{{"--device-id", "--verbose"},
                 {"[tamsel] Requested input device name: \"--verbose\"\n"}},
        ScanCase{{"--device-id=Mic"},
                 {"[tamsel] WARNING: ignoring unknown arg: --device-id=Mic\n", kDefault}},
        ScanCase{{"-d", "Mic"},
                 {"[tamsel] WARNING: ignoring unknown arg: -d\n",
                  "[tamsel] WARNING: ignoring unknown arg: Mic\n", kDefault}},
        ScanCase{{"foo", "--device-id", "Mic", "bar"},
                 {"[tamsel] WARNING: ignoring unknown arg: foo\n",
                  "[tamsel] WARNING: ignoring unknown arg: bar\n",
                  "[tamsel] Requested input device name: \"Mic\"\n"}}));

TEST_F(VellocTest, WholeRunOnTheConverterPathWritesEveryLineInOrder) {
  setNative(kCommonFormatFloat32, 48000.0, 2);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(lines(),
            (Lines{kDefault,
                   "[tamsel] Voice processing OFF (raw mic — preserves SCK system audio capture)\n",
                   "[tamsel] Native input format: 48000.0Hz, 2ch, commonFormat=1\n",
                   "[tamsel] Audio converter: 48000.0Hz/2ch → 16000.0Hz/1ch (AVAudioConverter "
                   "handles channel down-mix)\n",
                   "[tamsel] Installed tap with format conversion\n",
                   "[tamsel] Raw mic capture started (16kHz, mono, 16-bit PCM → stdout)\n",
                   "[tamsel] Voice processing: OFF\n"}));
  EXPECT_EQ(platform.engineStarts, 1);
  EXPECT_EQ(platform.processControl.parkCount, 1);
  EXPECT_TRUE(stdoutBytes().empty());
}

TEST_F(VellocTest, EngineThatFailsToStartEndsWithStatusOneBeforeTheStartedLines) {
  platform.startError = PlatformError{"The operation couldn’t be completed. (-10875)"};
  EXPECT_EQ(run(), 1);
  const Lines all = lines();
  EXPECT_EQ(
      all.back(),
      "[tamsel] FATAL: engine.start() failed: The operation couldn’t be completed. (-10875)\n");
  for (const auto& line : all) EXPECT_EQ(line.find("Raw mic capture started"), std::string::npos);
  EXPECT_EQ(platform.processControl.installCount, 0);
  EXPECT_EQ(platform.processControl.parkCount, 0);
}

TEST_F(VellocTest, StopSignalsWriteTheirOwnLineAndEndWithStatusZero) {
  for (const int signo : {SIGTERM, SIGINT}) {
    FakeMicrophonePlatform fresh;
    VellocState freshState;
    fresh.processControl.onPark = [&] { fresh.processControl.deliverSignal(signo); };
    int status = -1;
    try {
      runVelloc(freshState, fresh, {});
    } catch (const ProcessExit& exit) {
      status = exit.status;
    }
    EXPECT_EQ(status, 0);
    const Lines all = fresh.processControl.lines();
    ASSERT_EQ(all.size(), 8u);
    EXPECT_EQ(all[6], "[tamsel] Voice processing: OFF\n");
    EXPECT_EQ(all[7], signo == SIGTERM ? "[tamsel] Received SIGTERM, stopping...\n"
                                       : "[tamsel] Received SIGINT, stopping...\n");
  }
}

}  // namespace
}  // namespace velloc::fake
