// velloc's logic on the fake platform: names, the path set up from the native
// format, and the audio path. The command line and the device lookup are its
// fuzz target's properties.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "microphone/name_match.h"
#include "tests/fake/microphone/fake_microphone_platform.h"

namespace velloc::fake {
namespace {

constexpr AudioFormat kMono16k{kCommonFormatFloat32, 16000.0, 1, false};
const std::string kTag = "[tamsel] ";

struct Velloc {
  explicit Velloc(AudioFormat native = {kCommonFormatFloat32, 48000.0, 2, false}) {
    state.platform = &platform;
    state.nativeFormat = platform.native = native;
    state.outputHandle = &platform.proc;
    state.timeline.emplace(platform.proc);
  }
  FakeMicrophonePlatform platform;
  VellocState state;
};

TEST(NameMatch, OnlyCanonicalEquivalenceCounts) {
  const std::tuple<std::string, std::string, bool> table[] = {
      {"\xC3\x85ngstr\xC3\xB6m", "A\xCC\x8Angstro\xCC\x88m", true},  // NFC and NFD
      {"\xEF\xAC\x81le", "file", false},                             // only compatible
      {std::string("a\0b", 3), "a", false},
      {"bad \xFF", "bad \xFF", true},  // not UTF-8: the bytes decide
      {"bad \xFF", "bad \xFE", false},
      {"USB Mic", "usb mic", false},
      {"USB Mic", "USB Mic ", false}};
  for (const auto& [a, b, same] : table) EXPECT_EQ(namesMatch(a, b), same) << a << " / " << b;
}

// Float mono 16 kHz is tapped directly, 1600 frames at a time; any other
// format through a converter, 4096 at a time, or directly when none can be
// made. A format without channels or rate ends the run with status 2.
TEST(SetUp, TakesTheDirectPathOnlyForFloatMono16k) {
  const std::tuple<AudioFormat, bool, std::optional<int>, uint32_t> table[] = {
      {kMono16k, false, std::nullopt, 1600},
      {{kCommonFormatInt16, 16000.0, 1, false}, false, std::nullopt, 4096},
      {{kCommonFormatFloat32, 16000.0, 2, false}, false, std::nullopt, 4096},
      {{kCommonFormatFloat32, 16000.5, 1, false}, false, std::nullopt, 4096},
      {{kCommonFormatFloat32, 44100.0, 2, false}, true, std::nullopt, 1600},
      {{kCommonFormatFloat32, 0.0, 1, false}, false, 2, 0},
      {{kCommonFormatFloat32, 48000.0, 0, false}, false, 2, 0}};
  for (const auto& [native, noConverter, status, tapFrames] : table) {
    Velloc velloc(native);
    velloc.platform.converterFails = noConverter;
    EXPECT_EQ(exitStatusOf([&] { setUpEngine(velloc.state); }), status) << native.sampleRate;
    EXPECT_EQ(velloc.platform.tapFrames, tapFrames) << native.sampleRate;
  }
}

// Buffers too short for a whole output frame are dropped and not counted; the
// first-callback line comes once, even for a dropped buffer.
TEST(ConverterTap, CapacitiesFollowTheRunningTotalOfInputHandedOver) {
  Velloc velloc;
  FakeConverter converter;
  PcmBuffer tap(velloc.state.nativeFormat, 4096);
  for (const uint32_t frames : {1, 2, 3, 4096, 4096, 4096, 4096, 4096, 4096}) {
    tap.setFrameLength(frames);
    handleConverterTap(velloc.state, kMono16k, converter, tap, {});
  }
  EXPECT_EQ(converter.capacities, (std::vector<uint32_t>{1, 1365, 1365, 1366, 1365, 1365, 1366}));
  EXPECT_EQ(velloc.platform.proc.log(), Lines{kTag + "First tap callback fired (frameLength=1)\n"});
}

// Takes every third frame of channel 0 and holds back the newest kHeld it made, as a filter does.
struct HoldingConverter final : AudioConverter {
  static constexpr std::size_t kHeld = 480;
  ConverterOutputStatus convert(PcmBuffer& out, std::optional<PlatformError>&,
                                const ConverterInputBlock& input) override {
    auto status = ConverterInputStatus::noDataNow;
    if (const PcmBuffer* in = input(out.frameCapacity() * 3, status); in != nullptr) {
      for (uint32_t f = 0; f < in->frameLength(); ++f) {
        if (taken++ % 3 == 0) held.push_back(in->floatChannelData()[0][f]);
      }
    }
    const bool ending = status == ConverterInputStatus::endOfStream;
    const std::size_t ready = ending ? held.size() : held.size() - std::min(held.size(), kHeld);
    const std::size_t frames = std::min<std::size_t>(out.frameCapacity(), ready);
    std::copy_n(held.begin(), frames, out.floatChannelData()[0]);
    held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(frames));
    out.setFrameLength(static_cast<uint32_t>(frames));
    return ending ? ConverterOutputStatus::endOfStream : ConverterOutputStatus::haveData;
  }
  void reset() override { held.clear(), taken = 0; }
  std::vector<float> held;
  uint64_t taken = 0;
};

// What the converter holds at a gap goes out before the gap's silence, not after it; a
// discontinuity that loses nothing (a move's placement) leaves the converter alone.
TEST(ConverterTap, WhatTheConverterHoldsAtAGapGoesOutBeforeItsSilence) {
  for (const double gap : {0.5, 0.0}) {
    Velloc velloc;
    HoldingConverter converter;
    PcmBuffer tap(velloc.state.nativeFormat, 4800);
    tap.setFrameLength(4800);  // 0.1 s
    double at = 100;
    for (const float level : {0.25f, 0.25f, 0.5f, 0.5f}) {
      std::fill_n(tap.floatChannelData()[0], 4800, level);
      const bool after = level == 0.5f && at < 100.25;
      if (after) at += gap;
      handleConverterTap(velloc.state, kMono16k, converter, tap, {0, 48000, at, after});
      at += 0.1;
    }
    // Stream sample k holds what was captured at 100 s + k / 16000.
    std::vector<int16_t> out(velloc.platform.proc.stdoutBytes().size() / 2);
    std::memcpy(out.data(), velloc.platform.proc.stdoutBytes().data(), 2 * out.size());
    // 0.4 s of input, less what the converter still holds, and the gap.
    const auto gapped = static_cast<std::size_t>(gap * 16000);
    ASSERT_EQ(out.size(), 6400 - HoldingConverter::kHeld + gapped) << gap;
    EXPECT_TRUE(std::all_of(out.begin(), out.begin() + 3200, [](int16_t v) { return v == 8191; }));
    EXPECT_TRUE(std::all_of(out.begin() + 3200, out.begin() + 3200 + gapped,
                            [](int16_t v) { return v == 0; }));
    EXPECT_TRUE(
        std::all_of(out.begin() + 3200 + gapped, out.end(), [](int16_t v) { return v == 16383; }));
  }
}

// Channel 0 of a planar and of an interleaved buffer, each in one write.
TEST(Writer, WritesChannelZeroOfEachBufferInOneWrite) {
  Velloc velloc;
  for (const bool interleaved : {false, true}) {
    PcmBuffer buffer({kCommonFormatFloat32, 16000.0, 2, interleaved}, 2);
    // The planes lie one after the other.
    std::ranges::copy(std::array{1.0f, -1.0f, 0.5f, 0.5f}, buffer.floatChannelData()[0]);
    buffer.setFrameLength(2);
    writeInt16Samples(velloc.state, buffer, 12.25, false);
  }
  const Lines log = velloc.platform.proc.log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ((Lines{log[0], log[2]}), (Lines{"stdout 4", "stdout 4"}));
  EXPECT_TRUE(log[1].ends_with(" s realtime, 12.250000 s monotonic\n")) << log[1];
  EXPECT_EQ(velloc.platform.proc.stdoutBytes(), "\xFF\x7F\x01\x80\xFF\x7F\xFF\x3F");
}

}  // namespace
}  // namespace velloc::fake
