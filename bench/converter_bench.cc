// The converter on velloc's converter path: stereo float tap buffers of 4096
// frames at the input's own rate become 16 kHz mono, one tap at a time, with
// an output buffer sized from running totals and made fresh for each tap, as
// velloc's tap handler does. "x_realtime" is seconds of audio converted per
// second of one core (soxr runs single-threaded).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>
#include <vector>

#include "platform/pulse/soxr_converter.h"

namespace {

using velloc::AudioFormat;
using velloc::ConverterInputStatus;
using velloc::PcmBuffer;

constexpr uint32_t kTapFrames = 4096;
constexpr double kOutRate = 16000.0;
constexpr int kTaps = 64;  // distinct input buffers cycled through, so the cache is not flattered

std::vector<std::unique_ptr<PcmBuffer>> toneTaps(const AudioFormat& format) {
  std::vector<std::unique_ptr<PcmBuffer>> taps;
  for (int t = 0; t < kTaps; ++t) {
    auto tap = std::make_unique<PcmBuffer>(format, kTapFrames);
    for (uint32_t f = 0; f < kTapFrames; ++f) {
      const double time = static_cast<double>(t * kTapFrames + f) / format.sampleRate;
      tap->floatChannelData()[0][2 * f] =
          static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 440 * time));
      tap->floatChannelData()[0][2 * f + 1] =
          static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 1250 * time));
    }
    tap->setFrameLength(kTapFrames);
    taps.push_back(std::move(tap));
  }
  return taps;
}

void BM_ConverterToMono16k(benchmark::State& state) {
  const double inRate = static_cast<double>(state.range(0));
  const AudioFormat from{velloc::kCommonFormatFloat32, inRate, 2, true};
  const AudioFormat to{velloc::kCommonFormatFloat32, kOutRate, 1, false};
  auto converter = pulse::SoxrConverter::create(from, to);
  if (!converter) {
    state.SkipWithError("no converter");
    return;
  }
  const auto taps = toneTaps(from);
  const double ratio = kOutRate / inRate;
  uint64_t inputFrames = 0;
  uint64_t outputFrames = 0;
  int next = 0;
  PcmBuffer output(to, kTapFrames);
  for (auto _ : state) {
    const PcmBuffer& tap = *taps[next];
    next = (next + 1) % kTaps;
    const auto before = static_cast<uint32_t>(std::floor(static_cast<double>(inputFrames) * ratio));
    inputFrames += kTapFrames;
    const auto after = static_cast<uint32_t>(std::floor(static_cast<double>(inputFrames) * ratio));
    output.setFrameCapacity(after - before);
    output.setFrameLength(0);
    bool supplied = false;
    std::optional<velloc::PlatformError> error;
    converter->convert(output, error, [&](uint32_t, ConverterInputStatus& status) {
      status = supplied ? ConverterInputStatus::noDataNow : ConverterInputStatus::haveData;
      const PcmBuffer* given = supplied ? nullptr : &tap;
      supplied = true;
      return given;
    });
    outputFrames += output.frameLength();
    benchmark::DoNotOptimize(output.floatChannelData()[0]);
    benchmark::ClobberMemory();
  }
  const double audioSeconds = static_cast<double>(state.iterations()) * kTapFrames / inRate;
  state.counters["x_realtime"] = benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate);
  state.counters["out_per_in"] =
      static_cast<double>(outputFrames) / static_cast<double>(state.iterations() * kTapFrames);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kTapFrames));
}

BENCHMARK(BM_ConverterToMono16k)->Arg(48000)->Arg(44100);

}  // namespace
