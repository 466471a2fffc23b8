// velloc's logic on the fake platform: the command line, choosing the device,
// setting up the path from the native format, and the audio path itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "microphone/name_match.h"
#include "tests/fake/microphone/fake_microphone_platform.h"
#include "tests/unit/common/sample_rule_table.h"

namespace velloc::fake {
namespace {

using namespace std::string_literals;

constexpr AudioFormat kMono16k{kCommonFormatFloat32, 16000.0, 1, false};
const std::string kTag = "[tamsel] ", kLookup = kTag + "CoreAudio: ";
const std::string kNoDevice = kTag + "No --device-id arg, using system default input\n";
const std::string kDirectTap =
    kTag + "Installed tap with Float32→Int16 conversion (no rate conversion needed)\n";

struct Velloc {
  explicit Velloc(AudioFormat native = {kCommonFormatFloat32, 48000.0, 2, false}) {
    state.platform = &platform;
    platform.native = native;
  }
  int run(const Lines& args) {
    int returned = -1;
    return exitStatusOf([&] { returned = runVelloc(state, platform, args); }).value_or(returned);
  }
  std::optional<int> setUp() {
    return exitStatusOf([&] { setUpEngine(state); });
  }
  std::optional<AudioObjectID> find(std::string_view name) {
    return findInputDeviceID(state, name);
  }
  Lines log() const { return platform.proc.log(); }
  bool wrote(const std::string& line) const { return std::ranges::count(log(), line) == 1; }

  FakeMicrophonePlatform platform;
  VellocState state;
};

std::string matched(const std::string& name, const std::string& idAndChannels) {
  return kLookup + "matched input device \"" + name + "\" (" + idAndChannels + ")\n";
}
std::string noMatch(const std::string& name) {
  return kLookup + "no input device matched name \"" + name +
         "\" — falling back to system default\n";
}
std::string firstCallback(uint32_t frames) {
  return kTag + "First tap callback fired (frameLength=" + std::to_string(frames) + ")\n";
}

TEST(Run, WarnsAboutTheCommandLineSaysWhichDeviceThenStartsOrEndsWithStatusOne) {
  const auto ignored = [](const std::string& arg) {
    return kTag + "WARNING: ignoring unknown arg: " + arg + "\n";
  };
  const auto requested = [](const std::string& name) {
    return kTag + "Requested input device name: \"" + name + "\"\n";
  };
  for (const auto& [args, expected] : std::vector<std::pair<Lines, Lines>>{
           {{}, {kNoDevice}},
           {{"--device-id", "USB Mic"}, {requested("USB Mic")}},
           {{"--device-id"},
            {kTag + "WARNING: --device-id passed without value, using system default\n",
             kNoDevice}},
           {{"--device-id", ""}, {kNoDevice}},
           {{"--device-id", "A", "--device-id", "B"}, {requested("B")}},
           {{"--device-id", "A", "--device-id", ""}, {requested("A")}},
           {{"--device-id", "--verbose"}, {requested("--verbose")}},
           {{"--device-id=Mic"}, {ignored("--device-id=Mic"), kNoDevice}},
           {{"foo", "--device-id", "Mic", "bar"},
            {ignored("foo"), ignored("bar"), requested("Mic")}}}) {
    Velloc velloc;
    EXPECT_EQ(velloc.run(args), 0);
    const Lines log = velloc.log();
    EXPECT_EQ(Lines(log.begin(), log.begin() + std::min(log.size(), expected.size())), expected);
    EXPECT_TRUE(velloc.wrote(kTag + "Voice processing: OFF\n"));
    EXPECT_EQ(log.back(), "parked");
    EXPECT_EQ(velloc.platform.proc.stopLines, (Lines{kTag + "Received SIGTERM, stopping...\n",
                                                     kTag + "Received SIGINT, stopping...\n"}));
  }
  // An engine that fails to start ends it with status 1 before the started lines.
  Velloc velloc;
  velloc.platform.startError = PlatformError{"couldn’t start (-10875)"};
  EXPECT_EQ(velloc.run({}), 1);
  EXPECT_EQ(velloc.log().back(), kTag + "FATAL: engine.start() failed: couldn’t start (-10875)\n");
  EXPECT_FALSE(velloc.wrote(kTag + "Raw mic capture started (16kHz, mono, 16-bit PCM → stdout)\n"));
}

TEST(DeviceLookup, ReadsTheListWithinItsStorageAndPrintsTheSignedStatusOfFailedQueries) {
  Velloc velloc;
  FakeDevices& devices = velloc.platform.deviceList;
  EXPECT_EQ(velloc.find("Mic"), std::nullopt);  // an empty list
  devices.list = {{73, "Mic"}};
  devices.listSizeStatus = -50;
  EXPECT_EQ(velloc.find("Mic"), std::nullopt);
  devices.listSizeStatus = kNoErr;
  devices.listReadStatus = 2003332927;
  EXPECT_EQ(velloc.find("Mic"), std::nullopt);
  // Only whole entries of the list it allocated are read; those the read
  // leaves alone stay 0.
  devices.listReadStatus = kNoErr;
  devices.list = {{1, "One"}, {2, "Two"}, {0, "Zero"}};
  devices.listSize = 7;
  EXPECT_EQ(velloc.find("Two"), std::nullopt);
  devices.listSize.reset();
  devices.readEntries = 1;
  EXPECT_EQ(velloc.find("Zero"), 0u);
  EXPECT_EQ(velloc.log(),
            (Lines{kLookup + "AudioObjectGetPropertyDataSize(devices) status=0 size=0\n",
                   kLookup + "AudioObjectGetPropertyDataSize(devices) status=-50 size=4\n",
                   kLookup + "AudioObjectGetPropertyData(devices) status=2003332927\n",
                   noMatch("Two"), matched("Zero", "id=0, channels=1")}));
}

// Devices whose configuration or name cannot be read, or that have no input,
// are passed over without a word. More buffers claimed than the reported size
// holds must not make the lookup read past its storage (ASan sees it).
TEST(DeviceLookup, ChoosesTheFirstReadableInputDeviceWithTheName) {
  Velloc velloc;
  velloc.platform.deviceList.list = {{1, "Mic", {1}, kConfigSize},
                                     {2, "Mic", {1}, kNone, 0},
                                     {3, "Mic", {1}, kConfigRead},
                                     {4, "Mic", {1}, kName},
                                     {5, std::nullopt},
                                     {6, "Mic", {}},
                                     {7, "Mic", {2}},
                                     {8, "Mic"},
                                     {4294967295u, "Agg", {2, 1}},
                                     {9, "Cafe\xCC\x81 Mic"},
                                     {10, "Speakers", {}},
                                     {12, "Liar", {2}, kNone, std::nullopt, 1000},
                                     {13, "Tiny", {2}, kNone, 2, 1000}};
  EXPECT_EQ(velloc.find("Mic"), 7u);
  EXPECT_EQ(velloc.find("Agg"), 4294967295u);
  EXPECT_EQ(velloc.find("Caf\xC3\xA9 Mic"), 9u);
  EXPECT_EQ(velloc.find("Liar"), 12u);
  EXPECT_EQ(velloc.find("Speakers"), std::nullopt);
  EXPECT_EQ(velloc.find("Tiny"), std::nullopt);
  EXPECT_EQ(velloc.log(),
            (Lines{matched("Mic", "id=7, channels=2"), matched("Agg", "id=4294967295, channels=3"),
                   matched("Cafe\xCC\x81 Mic", "id=9, channels=1"),
                   matched("Liar", "id=12, channels=2"), noMatch("Speakers"), noMatch("Tiny")}));
}

TEST(NameMatch, OnlyCanonicalEquivalenceCounts) {
  const std::tuple<std::string, std::string, bool> table[] = {
      {"\xC3\x85ngstr\xC3\xB6m", "A\xCC\x8Angstro\xCC\x88m", true},  // NFC and NFD
      {"\xE2\x84\xAB", "\xC3\x85", true},                            // a singleton
      {"\xEF\xAC\x81le", "file", false},                             // only compatible
      {"\xEF\xBC\xA1", "A", false},                                  // fullwidth
      {"a\0b"s, "a\0b"s, true},
      {"a\0b"s, "a", false},
      {"bad \xFF name", "bad \xFF name", true},  // not UTF-8: the bytes decide
      {"bad \xFF name", "bad \xFE name", false},
      {"USB Mic", "usb mic", false},
      {"USB Mic", "USB Mic ", false}};
  for (const auto& [a, b, same] : table) EXPECT_EQ(namesMatch(a, b), same) << a << " / " << b;
}

// Float mono 16 kHz is tapped directly, 100 ms at a time; any other format,
// a NaN rate included, through a converter to float mono 16 kHz.
TEST(SetUp, TakesTheDirectPathOnlyForFloatMono16k) {
  for (const AudioFormat& native : {kMono16k, AudioFormat{kCommonFormatInt16, 16000.0, 1, false},
                                    AudioFormat{kCommonFormatFloat32, 16000.0, 2, false},
                                    AudioFormat{kCommonFormatFloat32, 16000.5, 1, false},
                                    AudioFormat{kCommonFormatFloat32, std::nan(""), 2, true}}) {
    Velloc velloc(native);
    ASSERT_EQ(velloc.setUp(), std::nullopt);
    const FakeMicrophonePlatform& platform = velloc.platform;
    const bool converts = !(native == kMono16k);
    EXPECT_EQ(platform.tapFrames, converts ? 4096u : 1600u);
    EXPECT_EQ(platform.tapFormat, converts ? native : kMono16k);
    EXPECT_EQ(velloc.log().back(),
              converts ? kTag + "Installed tap with format conversion\n" : kDirectTap);
    if (converts) {
      EXPECT_EQ(platform.converterFormats, std::pair(native, kMono16k));
      continue;
    }
    platform.tap(*floats(std::vector<float>(1600, 0.5f)), {});
    EXPECT_EQ(velloc.log().back(), "stdout 3200");
  }
  Velloc velloc({kCommonFormatFloat32, 44100.0, 2, false});
  ASSERT_EQ(velloc.setUp(), std::nullopt);
  EXPECT_TRUE(velloc.wrote(kTag + "Audio converter: 44100.0Hz/2ch → 16000.0Hz/1ch " +
                           "(AVAudioConverter handles channel down-mix)\n"));
}

TEST(SetUp, ConverterThatCannotBeMadeFallsBackToTheDirectTap) {
  Velloc velloc({kCommonFormatFloat32, 44100.0, 2, false});
  velloc.platform.converterFails = true;
  ASSERT_EQ(velloc.setUp(), std::nullopt);
  EXPECT_TRUE(velloc.wrote(kTag + "WARNING: AVAudioConverter init returned nil (44100.0Hz/2ch → " +
                           "16000.0Hz/1ch) — will attempt direct tap\n"));
  EXPECT_EQ(velloc.platform.tapFormat, kMono16k);
  EXPECT_EQ(velloc.log().back(), kDirectTap);
}

TEST(SetUp, DegenerateNativeFormatEndsWithStatusTwoAndFormatsThatCannotBeMadeWithOne) {
  for (const auto& [rate, channels, values] : {std::tuple{48000.0, 0u, "channels=0, rate=48000.0"},
                                               {0.0, 1u, "channels=1, rate=0.0"},
                                               {-44100.0, 2u, "channels=2, rate=-44100.0"}}) {
    Velloc velloc({kCommonFormatFloat32, rate, channels, false});
    EXPECT_EQ(velloc.setUp(), 2);
    EXPECT_TRUE(velloc.wrote(kTag + "FATAL: native input format is degenerate (" + values + "). "));
  }
  // The formats it makes on either path, one failing after another.
  for (const auto& [rate, formats] :
       {std::pair{48000.0, 0}, {48000.0, 1}, {16000.0, 1}, {16000.0, 2}}) {
    Velloc velloc({kCommonFormatFloat32, rate, 1, false});
    velloc.platform.formatsLeft = formats;
    EXPECT_EQ(velloc.setUp(), 1);
    EXPECT_TRUE(velloc.log().back().starts_with(kTag + "FATAL: Failed to create ")) << formats;
  }
}

// Whatever the binding gives, set-up goes on with the input it has.
TEST(SetUp, RequestedDeviceIsBoundOrTheDefaultInputKept) {
  const std::string fallBack = " — falling back to system default\n";
  for (const auto& [name, unit, status, line, bound] :
       {std::tuple{"Caf\xC3\xA9", true, kNoErr,
                   kTag + "AudioUnit: bound input to device id=73 (\"Caf\xC3\xA9\")\n",
                   std::optional<AudioObjectID>(73)},
        {"Nope", true, kNoErr, noMatch("Nope"), std::nullopt},
        {"Caf\xC3\xA9", false, kNoErr, kTag + "AudioUnit: inputNode.audioUnit is nil" + fallBack,
         std::nullopt},
        {"Caf\xC3\xA9", true, -10851,
         kTag + "AudioUnit: SetProperty(CurrentDevice) status=-10851" + fallBack, 73}}) {
    Velloc velloc;
    velloc.platform.deviceList.list = {{73, "Cafe\xCC\x81"}};
    velloc.platform.hasAudioUnit = unit;
    velloc.platform.bindStatus = status;
    velloc.state.requestedDeviceName = name;
    ASSERT_EQ(velloc.setUp(), std::nullopt);
    EXPECT_TRUE(velloc.wrote(line)) << line;
    EXPECT_EQ(velloc.platform.bound, bound);
    EXPECT_EQ(velloc.platform.tapFrames, 4096u);
  }
}

// The tap handler on a fake converter, writing to the fake's standard output.
struct Tapping : Velloc {
  explicit Tapping(double rate = 48000.0) : Velloc({kCommonFormatFloat32, rate, 2, false}) {
    state.nativeFormat = platform.native;
    state.outputHandle = &platform.proc;
  }
  void tap(const PcmBuffer& buffer) { handleConverterTap(state, kMono16k, converter, buffer, {}); }
  void tap(uint32_t frames) {
    tap(*floats(std::vector<float>(frames), 1, false, state.nativeFormat.sampleRate));
  }
  FakeConverter converter;
};

// Buffers dropped for want of a whole output frame or of an output buffer are
// not counted; the first-callback line comes once, even for a dropped buffer.
TEST(ConverterTap, CapacitiesFollowTheRunningTotalOfInputHandedOver) {
  Tapping tapping;
  for (const uint32_t frames : {1, 2, 3}) tapping.tap(frames);
  tapping.platform.buffersFail = true;
  tapping.tap(4096);
  tapping.platform.buffersFail = false;
  for (int i = 0; i < 6; ++i) tapping.tap(4096);
  EXPECT_EQ(tapping.converter.capacities,
            (std::vector<uint32_t>{1, 1365, 1365, 1366, 1365, 1365, 1366}));
  EXPECT_EQ(tapping.platform.proc.stderrBytes(), firstCallback(1));
  for (const auto& [rate, frames, capacity] :
       {std::tuple{48000.0, 4096u, 1365u}, {48000.0, 4800u, 1600u}, {44100.0, 4096u, 1486u}}) {
    Tapping first(rate);
    first.tap(frames);
    EXPECT_EQ(first.converter.capacities, std::vector<uint32_t>{capacity}) << frames << "@" << rate;
  }
}

// NaN; a rate so low that 4096 frames need more than 2^32 output frames; one
// so low that the ratio overflows; infinity, whose ratio is 0.
TEST(ConverterTap, RatesThatGiveNoFrameCountDropTheBuffer) {
  Tapping tapping;
  for (const double rate : {std::nan(""), 1e-3, 1e-305, HUGE_VAL}) {
    tapping.state.nativeFormat.sampleRate = rate;
    tapping.tap(4096);
  }
  EXPECT_TRUE(tapping.converter.capacities.empty());
  EXPECT_EQ(tapping.log(), Lines{firstCallback(4096)});
}

// Each call hands over its own tap buffer once, then has nothing for now.
TEST(ConverterTap, TheConverterOutcomeDecidesWhatIsWritten) {
  Tapping tapping;
  tapping.converter.inputRequests = 3;
  const auto buffer = floats(std::vector<float>(4096), 1, false, 48000.0);
  tapping.tap(*buffer);
  tapping.tap(*buffer);
  const auto none = std::pair(ConverterInputStatus::noDataNow, nullptr);
  EXPECT_EQ(tapping.converter.answers,
            (decltype(tapping.converter.answers){{ConverterInputStatus::haveData, buffer.get()},
                                                 none,
                                                 none,
                                                 {ConverterInputStatus::haveData, buffer.get()},
                                                 none,
                                                 none}));

  using enum ConverterOutputStatus;
  for (const auto& [status, frames, error, written] :
       {std::tuple{error, 100u, "", ""},
        {haveData, 100u, "", "stdout 200"},
        {inputRanDry, 7u, "", "stdout 14"},
        {endOfStream, 1u, "", "stdout 2"},
        {haveData, 0u, "", ""},
        {haveData, 100u, "bad (-50)", "[tamsel] Conversion error: bad (-50)\n"}}) {
    Tapping tapping;
    tapping.converter.status = status;
    tapping.converter.frames = frames;
    if (*error != '\0') tapping.converter.error = PlatformError{error};
    tapping.tap(4096);
    Lines expected{firstCallback(4096)};
    if (*written != '\0') expected.push_back(written);
    EXPECT_EQ(tapping.log(), expected);
  }
}

// The rule low byte first, channel 0 of each buffer in one write; the byte
// buffer kept between calls must not carry a longer buffer's bytes over.
TEST(Writer, WritesChannelZeroOfEachBufferByTheRuleInOneWrite) {
  Tapping tapping;
  VellocState& state = tapping.state;
  writeInt16Samples(state, *floats(pcm::test::ruleInputs()));
  EXPECT_EQ(tapping.platform.proc.stdoutBytes(), pcm::test::ruleBytes());
  writeInt16Samples(state, *floats(std::vector<float>(3, -1.0f)));
  writeInt16Samples(state, *floats({}));  // nothing at all
  PcmBuffer ints({kCommonFormatInt16, 16000.0, 1, true}, 16);
  ints.setFrameLength(16);
  writeInt16Samples(state, ints);                                     // no float data: nothing
  writeInt16Samples(state, *floats({1.0f, -1.0f, 0.25f, 0.25f}, 2));  // planar
  writeInt16Samples(state, *floats({1.0f, 0.25f, -1.0f, 0.25f}, 2, true));  // interleaved
  EXPECT_EQ(tapping.log(), (Lines{"stdout 28", "stdout 6", "stdout 4", "stdout 4"}));
  EXPECT_EQ(tapping.platform.proc.stdoutBytes().substr(28),
            "\x01\x80\x01\x80\x01\x80\xFF\x7F\x01\x80\xFF\x7F\x01\x80");
  tapping.platform.proc.failWith = ENOSPC;
  EXPECT_EQ(exitStatusOf([&] { writeInt16Samples(state, *floats({0.5f})); }), 1);
  EXPECT_EQ(tapping.log().back(),
            kTag + "FATAL: cannot write to stdout: No space left on device\n");
}

}  // namespace
}  // namespace velloc::fake
