// An hour of velloc's converter path in a few seconds: the tap handler drives
// the real converter with 4096-frame buffers, as from a 48 kHz or 44.1 kHz
// microphone, and what the converter holds back (input frames times the rate
// ratio, less the frames emitted) must not grow. Capacities taken per call
// rather than from running totals would lose a fraction of a frame each call.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>

#include "platform/pulse/soxr_converter.h"
#include "tests/fake/microphone/fake_microphone_platform.h"

namespace {

using velloc::AudioFormat;

// Counts the frames written and sums their energy, holding none of them.
struct Meter final : pcm::OutputStream {
  int write(std::span<const std::byte> bytes) override {
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
      int16_t sample;
      std::memcpy(&sample, &bytes[i], 2);
      squares += static_cast<double>(sample) * sample;
    }
    frames += bytes.size() / 2;
    return 0;
  }
  uint64_t frames = 0;
  double squares = 0;
};

TEST(ConverterBacklog, StaysBoundedOverAnHourAt48kAnd441k) {
  constexpr AudioFormat kMono16k{velloc::kCommonFormatFloat32, 16000.0, 1, false};
  for (const double rate : {48000.0, 44100.0}) {
    velloc::fake::FakeMicrophonePlatform platform;
    velloc::VellocState state;
    Meter meter;
    state.platform = &platform;
    state.nativeFormat = {velloc::kCommonFormatFloat32, rate, 2, true};
    state.outputHandle = &meter;
    auto converter = pulse::SoxrConverter::create(state.nativeFormat, kMono16k);
    ASSERT_TRUE(converter);
    // A tone with a whole number of periods per buffer: one buffer repeated is seamless.
    velloc::PcmBuffer tap(state.nativeFormat, 4096);
    for (uint32_t s = 0; s < 2 * 4096; ++s)
      tap.floatChannelData()[0][s] = 0.5f * std::sin(2 * std::numbers::pi * 64 * (s / 2) / 4096.0);
    tap.setFrameLength(4096);

    const auto perMinute = static_cast<uint64_t>(std::ceil(60 * rate / 4096));
    double firstMinuteMost = 0, lastTenMost = 0, lastTenLeast = 1e300;
    for (uint64_t call = 0; call < 60 * perMinute; ++call) {
      velloc::handleConverterTap(state, kMono16k, *converter, tap, {});
      const double backlog = (call + 1) * 4096 * 16000.0 / rate - static_cast<double>(meter.frames);
      if (call < perMinute) firstMinuteMost = std::max(firstMinuteMost, backlog);
      if (call >= 50 * perMinute) {
        lastTenMost = std::max(lastTenMost, backlog);
        lastTenLeast = std::min(lastTenLeast, backlog);
      }
    }
    // The filter's delay and one buffer's rounding, then a frame or two either way.
    EXPECT_LT(firstMinuteMost, 1024.0) << rate;
    EXPECT_LE(lastTenMost, firstMinuteMost + 4.0) << rate;
    EXPECT_GE(lastTenLeast, 0.0) << rate;
    // A steady tone all along: nothing silenced or garbled on the way.
    EXPECT_NEAR(std::sqrt(meter.squares / meter.frames), 0.5 * 32767 / std::sqrt(2.0), 60) << rate;
    EXPECT_EQ(platform.proc.log(),
              pcm::fake::Lines{"[tamsel] First tap callback fired (frameLength=4096)\n"});
  }
}

}  // namespace
