// Binding the input, checking the native format, choosing between the converter
// and the direct path, and every way set-up ends the process.
#include <cmath>

#include "velloc_test_support.h"

namespace velloc::fake {
namespace {

// The converter path's whole set-up is in the whole-run test.
TEST_F(VellocTest, DirectPathTapsFloatMono16kAndWritesEachBufferInOneWrite) {
  platform.nativeFormat = {kCommonFormatFloat32, 16000.0, 1, false};
  ASSERT_EQ(setUp(), std::nullopt);
  platform.deliver(*makeMonoBuffer(16000.0, 1600, 0.5f));
  platform.deliver(*makeMonoBuffer(16000.0, 0));
  EXPECT_EQ(transcript(),
            (Lines{kVoiceOff, kNative + "16000.0Hz, 1ch, commonFormat=1\n", kMakeTarget, kMakeFloat,
                   kMakeFloat, "installTap(bus 0, 1600 frames, float32 16000.0Hz 1ch)", kDirectTap,
                   firstCallback(1600), "stdout 3200 bytes"}));
}

TEST_F(VellocTest, ConverterThatCannotBeMadeFallsBackToTheDirectTap) {
  platform.nativeFormat = {kCommonFormatFloat32, 44100.0, 2, false};
  platform.converterFails = true;
  ASSERT_EQ(setUp(), std::nullopt);
  EXPECT_EQ(
      transcript(),
      (Lines{kVoiceOff, kNative + "44100.0Hz, 2ch, commonFormat=1\n", kMakeTarget, kMakeFloat,
             "makeConverter(float32 44100.0Hz 2ch → float32 16000.0Hz 1ch)",
             "[tamsel] WARNING: AVAudioConverter init returned nil (44100.0Hz/2ch → "
             "16000.0Hz/1ch) — will attempt direct tap\n",
             kMakeFloat, "installTap(bus 0, 1600 frames, float32 16000.0Hz 1ch)", kDirectTap}));
}

TEST_F(VellocTest, AnyDifferenceFromFloatMono16kNeedsTheConverter) {
  for (const AudioFormat& native : {AudioFormat{kCommonFormatInt16, 16000.0, 1, false},
                                    AudioFormat{kCommonFormatFloat32, 16000.0, 2, false},
                                    AudioFormat{kCommonFormatFloat32, 16000.5, 1, false}}) {
    Velloc velloc(native);
    ASSERT_EQ(velloc.setUp(), std::nullopt);
    EXPECT_EQ(velloc.transcript().back(), kConverterTap) << describe(native);
  }
}

// A NaN rate passes the degenerate check and is left to the tap handler.
TEST_F(VellocTest, NanRateTakesTheConverterPath) {
  platform.nativeFormat.sampleRate = std::nan("");
  ASSERT_EQ(setUp(), std::nullopt);
  const Lines all = transcript();
  EXPECT_EQ(all[1], kNative + "nanHz, 2ch, commonFormat=1\n");
  EXPECT_EQ(all[5],
            "[tamsel] Audio converter: nanHz/2ch → 16000.0Hz/1ch (AVAudioConverter "
            "handles channel down-mix)\n");
  EXPECT_EQ(all.back(), kConverterTap);
}

// The fatal line is written in two parts, then the process ends with status 2.
TEST_F(VellocTest, DegenerateNativeFormatEndsWithStatusTwo) {
  for (const auto& [rate, channels, values] : {std::tuple{48000.0, 0u, "channels=0, rate=48000.0"},
                                               {0.0, 1u, "channels=1, rate=0.0"},
                                               {-44100.0, 2u, "channels=2, rate=-44100.0"}}) {
    Velloc velloc({kCommonFormatFloat32, rate, channels, false});
    EXPECT_EQ(velloc.setUp(), 2);
    const Lines all = velloc.transcript();
    EXPECT_EQ(
        Lines(all.begin() + 2, all.end()),
        (Lines{"[tamsel] FATAL: native input format is degenerate (" + std::string(values) + "). ",
               "Likely causes: microphone permission not granted (check System Settings → "
               "Privacy & Security → Microphone) or the requested device has no input "
               "streams.\n"}));
  }
}

// The three formats are made in this order on either path; the converter output
// format is needed even when no conversion is.
TEST_F(VellocTest, EachFormatThatCannotBeMadeEndsWithStatusOne) {
  for (const auto& [rate, failing, line] :
       {std::tuple{48000.0, 0,
                   "[tamsel] FATAL: Failed to create target audio format (16kHz mono "
                   "int16)\n"},
        {48000.0, 1, "[tamsel] FATAL: Failed to create converter output format\n"},
        {16000.0, 1, "[tamsel] FATAL: Failed to create converter output format\n"},
        {16000.0, 2, "[tamsel] FATAL: Failed to create Float32 target format\n"}}) {
    Velloc velloc({kCommonFormatFloat32, rate, 1, false});
    velloc.platform.failingFormatCall = failing;
    EXPECT_EQ(velloc.setUp(), 1);
    const Lines all = velloc.transcript(), formats{kMakeTarget, kMakeFloat, kMakeFloat};
    Lines expected(formats.begin(), formats.begin() + failing + 1);
    expected.push_back(line);
    EXPECT_EQ(Lines(all.begin() + 2, all.end()), expected) << rate;
  }
}

struct BindCase {
  std::string requested;
  bool hasAudioUnit;
  OSStatus bindStatus;
  Lines beforeVoiceLine;
};

// Whatever the binding gives, set-up goes on with the input it has.
TEST_F(VellocTest, RequestedDeviceIsBoundOrTheDefaultInputKept) {
  const std::string matched =
      "[tamsel] CoreAudio: matched input device \"Cafe\xCC\x81\" (id=73, channels=1)\n";
  for (const BindCase& c :
       {BindCase{"Caf\xC3\xA9",
                 true,
                 kNoErr,
                 {matched, "setCurrentDevice(73)",
                  "[tamsel] AudioUnit: bound input to device id=73 (\"Caf\xC3\xA9\")\n"}},
        BindCase{"Nope",
                 true,
                 kNoErr,
                 {"[tamsel] CoreAudio: no input device matched name \"Nope\" — falling back to "
                  "system default\n"}},
        BindCase{"Caf\xC3\xA9",
                 false,
                 kNoErr,
                 {matched,
                  "[tamsel] AudioUnit: inputNode.audioUnit is nil — falling back to "
                  "system default\n"}},
        BindCase{"Caf\xC3\xA9",
                 true,
                 -10851,
                 {matched, "setCurrentDevice(73)",
                  "[tamsel] AudioUnit: SetProperty(CurrentDevice) status=-10851 — falling back "
                  "to system default\n"}}}) {
    Velloc velloc;
    velloc.platform.deviceProperties.list.push_back(makeDevice(73, "Cafe\xCC\x81"));
    velloc.platform.hasAudioUnit = c.hasAudioUnit;
    velloc.platform.bindStatus = c.bindStatus;
    velloc.state.requestedDeviceName = c.requested;
    ASSERT_EQ(velloc.setUp(), std::nullopt);
    const Lines all = velloc.transcript();
    EXPECT_EQ(Lines(all.begin(), std::find(all.begin(), all.end(), kVoiceOff)), c.beforeVoiceLine);
    EXPECT_EQ(all.back(), kConverterTap);
  }
}

}  // namespace
}  // namespace velloc::fake
