// The real converter: what it emits does not depend on how the output is cut,
// it mixes down and keeps non-finite input from spreading, and behind velloc's
// tap handler it holds back no more after an hour than after a minute.
#include "platform/pulse/soxr_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>

#include "tests/fake/microphone/fake_microphone_platform.h"

namespace {

using namespace velloc;
using pulse::SoxrConverter;

constexpr AudioFormat kMono16k{kCommonFormatFloat32, 16000.0, 1, false};
constexpr AudioFormat kStereo48k{kCommonFormatFloat32, 48000.0, 2, true};
using Buffers = std::vector<std::unique_ptr<PcmBuffer>>;

// `count` buffers of `frames` of a float tone whose channels differ, so that a
// wrong down-mix shows.
Buffers tones(const AudioFormat& format, int count, uint32_t frames) {
  Buffers buffers;
  for (int i = 0; i < count; ++i) {
    auto& buffer = buffers.emplace_back(std::make_unique<PcmBuffer>(format, frames));
    for (uint32_t s = 0; s < frames * format.channelCount; ++s) {
      const uint32_t c = s % format.channelCount, f = s / format.channelCount + i * frames;
      buffer->floatChannelData()[0][s] =
          0.3 * std::sin(2 * std::numbers::pi * (440 + 300 * c) * f / format.sampleRate);
    }
    buffer->setFrameLength(frames);
  }
  return buffers;
}

// Offers each input once per call into outputs of the given capacities
// (cycled), each taken at once, then drains; everything emitted.
std::vector<float> run(AudioConverter& converter, const Buffers& inputs,
                       const std::vector<uint32_t>& capacities) {
  std::vector<float> out;
  for (std::size_t call = 0, idle = 0; idle < 3; ++call) {
    PcmBuffer output(kMono16k, capacities[call % capacities.size()]);
    std::optional<PlatformError> error;
    const PcmBuffer* offered = call < inputs.size() ? inputs[call].get() : nullptr;
    converter.convert(output, error, [&](uint32_t, ConverterInputStatus& status) {
      status = offered ? ConverterInputStatus::haveData : ConverterInputStatus::noDataNow;
      return std::exchange(offered, nullptr);
    });
    EXPECT_FALSE(error);
    EXPECT_EQ(offered, nullptr) << "the offered buffer was not taken";
    const float* samples = output.floatChannelData()[0];
    out.insert(out.end(), samples, samples + output.frameLength());
    idle = call >= inputs.size() && output.frameLength() == 0 ? idle + 1 : 0;
  }
  return out;
}

TEST(SoxrConverter, SmallAndOddCapacitiesYieldTheSameSamplesAsOneLargeCall) {
  const Buffers inputs = tones(kStereo48k, 12, 4096);
  const auto expected = run(*SoxrConverter::create(kStereo48k, kMono16k), inputs, {1u << 20});
  ASSERT_GT(expected.size(), 12u * 1365u - 500u);  // all but the filter's delay
  for (const std::vector<uint32_t>& capacities :
       {std::vector<uint32_t>{1}, {7, 3, 1, 1000}, {1366, 1364}, {0, 5}, {4096}}) {
    const auto got = run(*SoxrConverter::create(kStereo48k, kMono16k), inputs, capacities);
    ASSERT_EQ(got.size(), expected.size()) << "capacities start " << capacities.front();
    EXPECT_EQ(0, std::memcmp(got.data(), expected.data(), got.size() * sizeof(float)));
  }
}

// At equal rates nothing is resampled, so the mix shows sample by sample; a
// non-finite sample must not spread into what follows it.
TEST(SoxrConverter, MixesDownByEqualWeightsAndKeepsNonFiniteInputFromSpreading) {
  const AudioFormat floatIn{kCommonFormatFloat32, 16000.0, 3, true};
  const Buffers inputs = tones(floatIn, 1, 500);
  const auto mixed = run(*SoxrConverter::create(floatIn, kMono16k), inputs, {500});
  ASSERT_EQ(mixed.size(), 500u);
  const float* in = inputs[0]->floatChannelData()[0];
  for (std::size_t f = 0; f < 500; ++f)
    ASSERT_NEAR(mixed[f], (in[3 * f] + in[3 * f + 1] + in[3 * f + 2]) / 3, 1e-6f) << f;

  const AudioFormat mono48k{kCommonFormatFloat32, 48000.0, 1, false};
  const Buffers spoilt = tones(mono48k, 1, 4800);
  spoilt[0]->floatChannelData()[0][2000] = NAN;
  spoilt[0]->floatChannelData()[0][3000] = -INFINITY;
  for (float v : run(*SoxrConverter::create(mono48k, kMono16k), spoilt, {4096}))
    ASSERT_TRUE(std::isfinite(v));
}

// Frames written, none of them held.
struct Meter final : pcm::OutputStream {
  int write(std::span<const std::byte> bytes) override {
    frames += bytes.size() / 2;
    return 0;
  }
  int writeSilence(std::size_t bytes) override {
    frames += bytes / 2;
    return 0;
  }
  uint64_t frames = 0;
};

// An hour of 4096-frame taps from a 48 kHz or 44.1 kHz microphone: what the
// converter holds back (input times the rate ratio, less the frames emitted)
// must not grow, as it would if each call lost a fraction of a frame.
TEST(ConverterBacklog, StaysBoundedOverAnHourAt48kAnd441k) {
  for (const double rate : {48000.0, 44100.0}) {
    fake::FakeMicrophonePlatform platform;
    VellocState state;
    Meter meter;
    state.platform = &platform;
    state.nativeFormat = {kCommonFormatFloat32, rate, 2, true};
    state.outputHandle = &meter;
    state.timeline.emplace(meter);
    auto converter = SoxrConverter::create(state.nativeFormat, kMono16k);
    ASSERT_TRUE(converter);
    const Buffers tap = tones(state.nativeFormat, 1, 4096);
    double most = 0, least = 0;  // frames held back
    for (uint64_t call = 1; call <= 3600 * rate / 4096; ++call) {
      handleConverterTap(state, kMono16k, *converter, *tap[0], {});
      const double held = call * 4096 * 16000.0 / rate - static_cast<double>(meter.frames);
      most = std::max(most, held), least = std::min(least, held);
    }
    // The filter's delay and one buffer's rounding.
    EXPECT_LT(most, 1024.0) << rate;
    EXPECT_GE(least, 0.0) << rate;
  }
}

}  // namespace
