// The converter against its contract: what it emits does not depend on how the
// output is cut, it mixes down and reads int16 as float, and it refuses what it
// cannot convert.
#include "platform/pulse/soxr_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>

namespace {

using pulse::SoxrConverter;
using velloc::AudioFormat;
using velloc::PcmBuffer;

constexpr AudioFormat kMono16k{velloc::kCommonFormatFloat32, 16000.0, 1, false};
constexpr AudioFormat kStereo48k{velloc::kCommonFormatFloat32, 48000.0, 2, true};
using Buffers = std::vector<std::unique_ptr<PcmBuffer>>;

// `count` buffers of `frames` of a tone whose channels differ, so that a wrong
// down-mix shows.
Buffers tones(const AudioFormat& format, int count, uint32_t frames) {
  Buffers buffers;
  for (int i = 0; i < count; ++i) {
    auto& buffer = buffers.emplace_back(std::make_unique<PcmBuffer>(format, frames));
    for (uint32_t s = 0; s < frames * format.channelCount; ++s) {
      const uint32_t c = s % format.channelCount, f = s / format.channelCount + i * frames;
      const double v =
          0.3 * std::sin(2 * std::numbers::pi * (440 + 300 * c) * f / format.sampleRate);
      if (format.commonFormat == velloc::kCommonFormatFloat32) buffer->floatChannelData()[0][s] = v;
      if (format.commonFormat != velloc::kCommonFormatFloat32)
        buffer->int16ChannelData()[0][s] = static_cast<int16_t>(std::lrint(v * 32768));
    }
    buffer->setFrameLength(frames);
  }
  return buffers;
}

// Offers each input once per call into outputs of the given capacities
// (cycled), each taken at once, then drains; everything emitted.
std::vector<float> run(velloc::AudioConverter& converter, const Buffers& inputs,
                       const std::vector<uint32_t>& capacities) {
  std::vector<float> out;
  for (std::size_t call = 0, idle = 0; idle < 3; ++call) {
    PcmBuffer output(kMono16k, capacities[call % capacities.size()]);
    std::optional<velloc::PlatformError> error;
    const PcmBuffer* offered = call < inputs.size() ? inputs[call].get() : nullptr;
    converter.convert(output, error, [&](uint32_t, velloc::ConverterInputStatus& status) {
      status = offered ? velloc::ConverterInputStatus::haveData
                       : velloc::ConverterInputStatus::noDataNow;
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

// At equal rates nothing is resampled, so the mix shows sample by sample.
TEST(SoxrConverter, DownMixIsTheEqualWeightAverageAndInt16InputMatchesFloat) {
  const AudioFormat floatIn{velloc::kCommonFormatFloat32, 16000.0, 3, true};
  const AudioFormat intIn{velloc::kCommonFormatInt16, 16000.0, 3, true};
  const Buffers inputs = tones(floatIn, 1, 500);
  const auto mixed = run(*SoxrConverter::create(floatIn, kMono16k), inputs, {500});
  const auto fromInt = run(*SoxrConverter::create(intIn, kMono16k), tones(intIn, 1, 500), {500});
  ASSERT_EQ(mixed.size(), 500u);
  ASSERT_EQ(fromInt.size(), 500u);
  const float* in = inputs[0]->floatChannelData()[0];
  for (std::size_t f = 0; f < 500; ++f) {
    ASSERT_NEAR(mixed[f], (in[3 * f] + in[3 * f + 1] + in[3 * f + 2]) / 3, 1e-6f) << f;
    ASSERT_NEAR(fromInt[f], mixed[f], 1e-4f) << f;
  }
}

// Neither a non-finite sample nor a buffer in another layout spreads into
// what follows.
TEST(SoxrConverter, NonFiniteInputDoesNotSpreadAndForeignBuffersAreErrors) {
  const AudioFormat mono48k{velloc::kCommonFormatFloat32, 48000.0, 1, false};
  auto converter = SoxrConverter::create(mono48k, kMono16k);
  const Buffers inputs = tones(mono48k, 1, 4800);
  inputs[0]->floatChannelData()[0][2000] = NAN;
  inputs[0]->floatChannelData()[0][3000] = -INFINITY;
  for (float v : run(*converter, inputs, {4096})) ASSERT_TRUE(std::isfinite(v));
  const Buffers foreign = tones(kStereo48k, 1, 100);
  PcmBuffer output(kMono16k, 100);
  std::optional<velloc::PlatformError> error;
  EXPECT_EQ(converter->convert(output, error,
                               [&](uint32_t, velloc::ConverterInputStatus& status) {
                                 status = velloc::ConverterInputStatus::haveData;
                                 return foreign[0].get();
                               }),
            velloc::ConverterOutputStatus::error);
  EXPECT_TRUE(error);
}

TEST(SoxrConverter, RefusesWhatItCannotConvert) {
  for (const AudioFormat& bad :
       {AudioFormat{1, NAN, 2, true}, AudioFormat{1, INFINITY, 2, true},
        AudioFormat{1, 0.0, 2, true}, AudioFormat{1, -48000.0, 2, true},
        AudioFormat{1, 48000.5, 2, true}, AudioFormat{1, 48000.0, 0, true},
        AudioFormat{1, 48000.0, 33, true}, AudioFormat{1, 48000.0, 2, false},
        AudioFormat{2, 48000.0, 2, true}}) {
    EXPECT_FALSE(SoxrConverter::create(bad, kMono16k)) << bad.sampleRate << "/" << bad.channelCount;
    EXPECT_FALSE(SoxrConverter::create(kStereo48k, bad))
        << bad.sampleRate << "/" << bad.channelCount;
  }
  // One output channel mixes down and as many as the input keeps them; others,
  // and outputs of another sample type, are refused.
  EXPECT_TRUE(SoxrConverter::create(kStereo48k, AudioFormat{1, 16000.0, 2, true}));
  EXPECT_FALSE(SoxrConverter::create(AudioFormat{1, 48000.0, 3, true}, kStereo48k));
  EXPECT_FALSE(SoxrConverter::create(kStereo48k, AudioFormat{3, 16000.0, 1, true}));
}

}  // namespace
