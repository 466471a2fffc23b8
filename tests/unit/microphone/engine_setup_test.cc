// Binding the input, checking the native format, choosing between the converter
// and the direct path, and every way set-up ends the process.
#include <cmath>
#include <limits>

#include "velloc_test_support.h"

namespace velloc::fake {
namespace {

using Lines = std::vector<std::string>;

const char kVoiceOff[] =
    "[tamsel] Voice processing OFF (raw mic — preserves SCK system audio capture)\n";
const char kConverterTap[] = "[tamsel] Installed tap with format conversion\n";
const char kDirectTap[] =
    "[tamsel] Installed tap with Float32→Int16 conversion (no rate conversion needed)\n";
const AudioFormat kFloat16kMono{kCommonFormatFloat32, 16000.0, 1, false};

bool sameFormat(const AudioFormat& a, const AudioFormat& b) {
  return a.commonFormat == b.commonFormat && a.channelCount == b.channelCount &&
         a.interleaved == b.interleaved &&
         (a.sampleRate == b.sampleRate || (std::isnan(a.sampleRate) && std::isnan(b.sampleRate)));
}

TEST_F(VellocTest, StereoFloat48kTakesTheConverterPath) {
  setNative(kCommonFormatFloat32, 48000.0, 2);
  ASSERT_EQ(setUp(), std::nullopt);
  EXPECT_EQ(lines(),
            (Lines{kVoiceOff, "[tamsel] Native input format: 48000.0Hz, 2ch, commonFormat=1\n",
                   "[tamsel] Audio converter: 48000.0Hz/2ch → 16000.0Hz/1ch "
                   "(AVAudioConverter handles channel down-mix)\n",
                   kConverterTap}));
  ASSERT_EQ(platform.input.taps.size(), 1u);
  const InstalledTap& tap = platform.input.taps[0];
  EXPECT_EQ(tap.bus, 0u);
  EXPECT_EQ(tap.bufferSize, 4096u);
  EXPECT_TRUE(sameFormat(tap.format, platform.input.nativeFormat));
  ASSERT_EQ(platform.converterRequests.size(), 1u);
  EXPECT_TRUE(sameFormat(platform.converterRequests[0].first, platform.input.nativeFormat));
  EXPECT_TRUE(sameFormat(platform.converterRequests[0].second, kFloat16kMono));
  // Target int16 format, then the converter output format; nothing more.
  ASSERT_EQ(platform.formatRequests.size(), 2u);
  const FormatRequest& target = platform.formatRequests[0];
  EXPECT_EQ(target.commonFormat, kCommonFormatInt16);
  EXPECT_EQ(target.sampleRate, 16000.0);
  EXPECT_EQ(target.channels, 1u);
  EXPECT_TRUE(target.interleaved);
  EXPECT_EQ(platform.input.formatBusesAsked, std::vector<uint32_t>{0});
  EXPECT_TRUE(state.needsConversion);
  EXPECT_FALSE(state.voiceProcessingEnabled);
}

TEST_F(VellocTest, MonoFloat16kTakesTheDirectPathWithoutAConverter) {
  setNative(kCommonFormatFloat32, 16000.0, 1);
  ASSERT_EQ(setUp(), std::nullopt);
  EXPECT_EQ(lines(),
            (Lines{kVoiceOff, "[tamsel] Native input format: 16000.0Hz, 1ch, commonFormat=1\n",
                   kDirectTap}));
  EXPECT_TRUE(platform.converterRequests.empty());
  ASSERT_EQ(platform.input.taps.size(), 1u);
  EXPECT_EQ(platform.input.taps[0].bufferSize, 1600u);
  EXPECT_TRUE(sameFormat(platform.input.taps[0].format, kFloat16kMono));
  EXPECT_EQ(platform.formatRequests.size(), 3u);
}

TEST_F(VellocTest, AnyDifferenceFromFloatMono16kNeedsTheConverter) {
  const AudioFormat natives[] = {{kCommonFormatInt16, 16000.0, 1, false},
                                 {kCommonFormatFloat32, 16000.0, 2, false},
                                 {kCommonFormatFloat32, 16000.5, 1, false},
                                 {kCommonFormatFloat32, std::nan(""), 1, false}};
  for (const AudioFormat& native : natives) {
    FakeMicrophonePlatform fresh;
    VellocState freshState;
    freshState.platform = &fresh;
    fresh.input.nativeFormat = native;
    setUpEngine(freshState);
    EXPECT_TRUE(freshState.needsConversion) << native.commonFormat << " " << native.sampleRate;
    ASSERT_EQ(fresh.input.taps.size(), 1u);
    EXPECT_EQ(fresh.input.taps[0].bufferSize, 4096u);
  }
}

TEST_F(VellocTest, NanRatePassesTheDegenerateCheckAndPrintsAsNan) {
  setNative(kCommonFormatFloat32, std::numeric_limits<double>::quiet_NaN(), 2);
  ASSERT_EQ(setUp(), std::nullopt);
  EXPECT_EQ(lines()[1], "[tamsel] Native input format: nanHz, 2ch, commonFormat=1\n");
  EXPECT_EQ(lines()[2],
            "[tamsel] Audio converter: nanHz/2ch → 16000.0Hz/1ch "
            "(AVAudioConverter handles channel down-mix)\n");
}

TEST_F(VellocTest, DegenerateNativeFormatEndsWithStatusTwoInTwoWrites) {
  struct Case {
    uint32_t channels;
    double rate;
    std::string first;
  };
  const Case cases[] = {
      {0, 48000.0,
       "[tamsel] FATAL: native input format is degenerate (channels=0, rate=48000.0). "},
      {1, 0.0, "[tamsel] FATAL: native input format is degenerate (channels=1, rate=0.0). "},
      {2, -44100.0,
       "[tamsel] FATAL: native input format is degenerate (channels=2, rate=-44100.0). "}};
  for (const Case& c : cases) {
    FakeMicrophonePlatform fresh;
    VellocState freshState;
    freshState.platform = &fresh;
    fresh.input.nativeFormat = {kCommonFormatFloat32, c.rate, c.channels, false};
    int status = -1;
    try {
      setUpEngine(freshState);
    } catch (const ProcessExit& exit) {
      status = exit.status;
    }
    EXPECT_EQ(status, 2);
    const Lines calls = fresh.processControl.diagnosticCalls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[2], c.first);
    EXPECT_EQ(calls[3],
              "Likely causes: microphone permission not granted (check System Settings → Privacy "
              "& Security → Microphone) or the requested device has no input streams.\n");
    EXPECT_TRUE(fresh.formatRequests.empty());
    EXPECT_TRUE(fresh.input.taps.empty());
  }
}

TEST_F(VellocTest, EachFormatThatCannotBeCreatedEndsWithStatusOneAndNoTap) {
  struct Case {
    double nativeRate;
    std::size_t failingCall;
    std::string line;
  };
  const Case cases[] = {
      {48000.0, 0, "[tamsel] FATAL: Failed to create target audio format (16kHz mono int16)\n"},
      {48000.0, 1, "[tamsel] FATAL: Failed to create converter output format\n"},
      {16000.0, 1, "[tamsel] FATAL: Failed to create converter output format\n"},
      {16000.0, 2, "[tamsel] FATAL: Failed to create Float32 target format\n"}};
  for (const Case& c : cases) {
    FakeMicrophonePlatform fresh;
    VellocState freshState;
    freshState.platform = &fresh;
    fresh.input.nativeFormat = {kCommonFormatFloat32, c.nativeRate, 1, false};
    fresh.failFormatCalls = {c.failingCall};
    int status = -1;
    try {
      setUpEngine(freshState);
    } catch (const ProcessExit& exit) {
      status = exit.status;
    }
    EXPECT_EQ(status, 1);
    EXPECT_EQ(fresh.processControl.lines().back(), c.line);
    EXPECT_TRUE(fresh.input.taps.empty());
  }
}

TEST_F(VellocTest, ConverterThatCannotBeMadeFallsBackToTheDirectTap) {
  setNative(kCommonFormatFloat32, 44100.0, 2);
  platform.converterFactory = nullptr;
  ASSERT_EQ(setUp(), std::nullopt);
  EXPECT_EQ(lines(),
            (Lines{kVoiceOff, "[tamsel] Native input format: 44100.0Hz, 2ch, commonFormat=1\n",
                   "[tamsel] WARNING: AVAudioConverter init returned nil (44100.0Hz/2ch → "
                   "16000.0Hz/1ch) — will attempt direct tap\n",
                   kDirectTap}));
  ASSERT_EQ(platform.input.taps.size(), 1u);
  EXPECT_EQ(platform.input.taps[0].bufferSize, 1600u);
  EXPECT_TRUE(sameFormat(platform.input.taps[0].format, kFloat16kMono));
}

class DeviceBinding : public VellocTest {
 protected:
  DeviceBinding() {
    platform.deviceProperties.list.push_back(makeDevice(73, "Cafe\xCC\x81"));
    setNative(kCommonFormatFloat32, 16000.0, 1);
  }
  Lines bindingLines() {
    Lines out;
    for (const auto& line : lines()) {
      if (line.rfind("[tamsel] AudioUnit:", 0) == 0) out.push_back(line);
    }
    return out;
  }
};

TEST_F(DeviceBinding, WithoutANameNothingIsLookedUpOrBound) {
  ASSERT_EQ(setUp(), std::nullopt);
  EXPECT_EQ(platform.deviceProperties.listSizeQueries, 0);
  EXPECT_TRUE(bindingLines().empty());
  EXPECT_EQ(lines().front(), kVoiceOff);
}

TEST_F(DeviceBinding, MatchedDeviceIsBoundAndReportedByTheRequestedName) {
  state.requestedDeviceName = "Caf\xC3\xA9";
  ASSERT_EQ(setUp(), std::nullopt);
  EXPECT_EQ(platform.input.unit.boundDevices, std::vector<AudioObjectID>{73});
  EXPECT_EQ(bindingLines(),
            Lines{"[tamsel] AudioUnit: bound input to device id=73 (\"Caf\xC3\xA9\")\n"});
}

TEST_F(DeviceBinding, UnmatchedNameLeavesTheDefaultInputWithoutABindingLine) {
  state.requestedDeviceName = "Nope";
  ASSERT_EQ(setUp(), std::nullopt);
  EXPECT_TRUE(platform.input.unit.boundDevices.empty());
  EXPECT_TRUE(bindingLines().empty());
}

TEST_F(DeviceBinding, MissingAudioUnitIsReportedAndSetUpGoesOn) {
  state.requestedDeviceName = "Caf\xC3\xA9";
  platform.input.hasAudioUnit = false;
  ASSERT_EQ(setUp(), std::nullopt);
  EXPECT_EQ(bindingLines(), Lines{"[tamsel] AudioUnit: inputNode.audioUnit is nil — falling back "
                                  "to system default\n"});
  EXPECT_EQ(platform.input.taps.size(), 1u);
}

TEST_F(DeviceBinding, FailedBindingPrintsTheNegativeStatusAndSetUpGoesOn) {
  state.requestedDeviceName = "Caf\xC3\xA9";
  platform.input.unit.status = -10851;
  ASSERT_EQ(setUp(), std::nullopt);
  EXPECT_EQ(bindingLines(), Lines{"[tamsel] AudioUnit: SetProperty(CurrentDevice) status=-10851 — "
                                  "falling back to system default\n"});
  EXPECT_EQ(platform.input.taps.size(), 1u);
}

}  // namespace
}  // namespace velloc::fake
