// The converter against its contract: what one convert call may emit, what it
// keeps for the next, and which formats it refuses.
#include "platform/pulse/soxr_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

namespace {

using pulse::SoxrConverter;
using velloc::AudioFormat;
using velloc::ConverterInputStatus;
using velloc::ConverterOutputStatus;
using velloc::PcmBuffer;

constexpr AudioFormat kMono16k{velloc::kCommonFormatFloat32, 16000.0, 1, false};

// Interleaved (or one-channel) input holding `frames` of a two-tone signal whose
// channels differ, so a wrong down-mix shows.
std::unique_ptr<PcmBuffer> toneBuffer(const AudioFormat& format, uint32_t frames, uint64_t start) {
  auto buffer = std::make_unique<PcmBuffer>(format, frames);
  for (uint32_t f = 0; f < frames; ++f) {
    const double t = static_cast<double>(start + f) / format.sampleRate;
    for (uint32_t c = 0; c < format.channelCount; ++c) {
      const double v = 0.3 * std::sin(2 * std::numbers::pi * (440.0 + 300.0 * c) * t);
      const uint32_t plane = format.interleaved ? 0 : c;
      const uint32_t at = format.interleaved ? f * format.channelCount + c : f;
      if (format.commonFormat == velloc::kCommonFormatFloat32) {
        buffer->floatChannelData()[plane][at] = static_cast<float>(v);
      } else {
        buffer->int16ChannelData()[plane][at] = static_cast<int16_t>(std::lrint(v * 32768.0));
      }
    }
  }
  buffer->setFrameLength(frames);
  return buffer;
}

// An input block that hands over `buffer` once, then has nothing for now.
auto supplyOnce(const PcmBuffer* buffer, bool& given) {
  return [buffer, &given](uint32_t, ConverterInputStatus& status) {
    status = given ? ConverterInputStatus::noDataNow : ConverterInputStatus::haveData;
    const PcmBuffer* supplied = given ? nullptr : buffer;
    given = true;
    return supplied;
  };
}

// Feeds `inputs` one per call into outputs of the given capacities (cycled),
// then drains with calls that supply nothing; returns everything emitted.
std::vector<float> run(velloc::AudioConverter& converter,
                       const std::vector<std::unique_ptr<PcmBuffer>>& inputs,
                       const std::vector<uint32_t>& capacities) {
  std::vector<float> out;
  std::size_t next = 0, call = 0;
  int idleCalls = 0;
  while (idleCalls < 3) {
    PcmBuffer output(kMono16k, capacities[call++ % capacities.size()]);
    std::optional<velloc::PlatformError> error;
    const bool hasInput = next < inputs.size();
    bool given = !hasInput;
    converter.convert(output, error, supplyOnce(hasInput ? inputs[next].get() : nullptr, given));
    if (hasInput && given) ++next;
    EXPECT_FALSE(error);
    EXPECT_LE(output.frameLength(), output.frameCapacity());
    out.insert(out.end(), output.floatChannelData()[0],
               output.floatChannelData()[0] + output.frameLength());
    idleCalls = (!hasInput && output.frameLength() == 0) ? idleCalls + 1 : 0;
  }
  return out;
}

std::vector<std::unique_ptr<PcmBuffer>> tapBuffers(const AudioFormat& format, int count,
                                                   uint32_t frames) {
  std::vector<std::unique_ptr<PcmBuffer>> buffers;
  for (int i = 0; i < count; ++i) buffers.push_back(toneBuffer(format, frames, i * frames));
  return buffers;
}

TEST(SoxrConverter, SmallAndOddCapacitiesYieldTheSameSamplesAsOneLargeCall) {
  const AudioFormat stereo48k{velloc::kCommonFormatFloat32, 48000.0, 2, true};
  const auto inputs = tapBuffers(stereo48k, 12, 4096);
  auto reference = SoxrConverter::create(stereo48k, kMono16k);
  const auto expected = run(*reference, inputs, {1u << 20});
  ASSERT_GT(expected.size(), 12u * 1365u - 500u);  // all but the filter's delay

  for (const std::vector<uint32_t>& capacities :
       {std::vector<uint32_t>{1}, {7, 3, 1, 1000}, {1365}, {1366, 1364}, {0, 5}, {4096}}) {
    auto converter = SoxrConverter::create(stereo48k, kMono16k);
    const auto got = run(*converter, inputs, capacities);
    ASSERT_EQ(got.size(), expected.size()) << "capacities start " << capacities.front();
    EXPECT_EQ(0, std::memcmp(got.data(), expected.data(), got.size() * sizeof(float)));
  }
}

TEST(SoxrConverter, DownMixIsTheEqualWeightAverageAndInt16InputMatchesFloat) {
  // At equal rates nothing is resampled, so the mix can be checked sample by sample.
  const AudioFormat floatIn{velloc::kCommonFormatFloat32, 16000.0, 3, true};
  const AudioFormat intIn{velloc::kCommonFormatInt16, 16000.0, 3, true};
  const auto inputs = tapBuffers(floatIn, 1, 500);
  const auto mixed = run(*SoxrConverter::create(floatIn, kMono16k), inputs, {500});
  ASSERT_EQ(mixed.size(), 500u);
  const float* in = inputs[0]->floatChannelData()[0];
  for (std::size_t f = 0; f < 500; ++f) {
    const float average = (in[3 * f] + in[3 * f + 1] + in[3 * f + 2]) * (1.0f / 3.0f);
    ASSERT_NEAR(mixed[f], average, 1e-6f) << f;
  }

  const auto fromInt =
      run(*SoxrConverter::create(intIn, kMono16k), tapBuffers(intIn, 1, 500), {500});
  ASSERT_EQ(fromInt.size(), 500u);
  for (std::size_t f = 0; f < 500; ++f) ASSERT_NEAR(fromInt[f], mixed[f], 1e-4f) << f;
}

TEST(SoxrConverter, TakesEachTapBufferAndReportsRanDryFullAndForeignBuffers) {
  const AudioFormat mono48k{velloc::kCommonFormatFloat32, 48000.0, 1, false};
  auto converter = SoxrConverter::create(mono48k, kMono16k);
  const auto inputs = tapBuffers(mono48k, 3, 4800);
  // A one-frame output is full at once; the converter must still take the buffer.
  for (const auto& input : inputs) {
    PcmBuffer output(kMono16k, 1);
    std::optional<velloc::PlatformError> error;
    bool given = false;
    converter->convert(output, error, supplyOnce(input.get(), given));
    EXPECT_TRUE(given);
  }
  const auto rest = run(*converter, {}, {100000});
  EXPECT_GT(rest.size(), 3u * 1600u - 3u - 500u);  // all but the filter's delay

  // A call that empties the converter says its input ran dry; one that fills
  // the output says it has data; a buffer in another layout is an error.
  const auto& input = inputs[0];
  PcmBuffer big(kMono16k, 5000);
  std::optional<velloc::PlatformError> error;
  bool given = false;
  EXPECT_EQ(converter->convert(big, error, supplyOnce(input.get(), given)),
            ConverterOutputStatus::inputRanDry);
  PcmBuffer small(kMono16k, 10);
  given = false;
  EXPECT_EQ(converter->convert(small, error, supplyOnce(input.get(), given)),
            ConverterOutputStatus::haveData);
  EXPECT_EQ(small.frameLength(), 10u);

  const AudioFormat otherLayout{velloc::kCommonFormatFloat32, 48000.0, 2, true};
  auto foreign = toneBuffer(otherLayout, 100, 0);
  PcmBuffer output(kMono16k, 100);
  given = false;
  EXPECT_EQ(converter->convert(output, error, supplyOnce(foreign.get(), given)),
            ConverterOutputStatus::error);
  EXPECT_TRUE(error);
}

TEST(SoxrConverter, NonFiniteInputDoesNotSpreadThroughTheFilter) {
  const AudioFormat mono48k{velloc::kCommonFormatFloat32, 48000.0, 1, false};
  auto converter = SoxrConverter::create(mono48k, kMono16k);
  const auto inputs = tapBuffers(mono48k, 1, 4800);
  inputs[0]->floatChannelData()[0][2000] = std::numeric_limits<float>::quiet_NaN();
  inputs[0]->floatChannelData()[0][3000] = std::numeric_limits<float>::infinity();
  for (float v : run(*converter, inputs, {4096})) ASSERT_TRUE(std::isfinite(v));
}

TEST(SoxrConverter, RefusesWhatItCannotConvert) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const AudioFormat good{velloc::kCommonFormatFloat32, 48000.0, 2, true};
  for (const AudioFormat& bad :
       {AudioFormat{1, nan, 2, true}, AudioFormat{1, inf, 2, true}, AudioFormat{1, 0.0, 2, true},
        AudioFormat{1, -48000.0, 2, true}, AudioFormat{1, 48000.5, 2, true},
        AudioFormat{1, 48000.0, 0, true}, AudioFormat{1, 48000.0, 33, true},
        AudioFormat{1, 48000.0, 2, false}, AudioFormat{2, 48000.0, 2, true}}) {
    EXPECT_FALSE(SoxrConverter::create(bad, kMono16k)) << bad.sampleRate << "/" << bad.channelCount;
    EXPECT_FALSE(SoxrConverter::create(good, bad)) << bad.sampleRate << "/" << bad.channelCount;
  }
  // One output channel mixes down; as many as the input keeps them; others are
  // refused, and so is an output of another sample type.
  EXPECT_TRUE(SoxrConverter::create(good, AudioFormat{1, 16000.0, 2, true}));
  EXPECT_FALSE(SoxrConverter::create(AudioFormat{1, 48000.0, 3, true}, good));
  EXPECT_FALSE(SoxrConverter::create(good, AudioFormat{3, 16000.0, 1, true}));
}

}  // namespace
