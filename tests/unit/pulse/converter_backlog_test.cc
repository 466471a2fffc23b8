// An hour of velloc's converter path in a few seconds: the tap handler drives the
// real soxr converter with 4096-frame buffers, exactly as on a 48 kHz or
// 44.1 kHz microphone, and what the converter holds back (input frames times the
// rate ratio, less the frames it has emitted) must stay bounded. Output
// capacities taken per call instead of from running totals would lose a fraction
// of a frame each call and let the backlog grow by thousands of frames an hour.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>

#include "microphone/velloc.h"
#include "platform/pulse/soxr_converter.h"
#include "tests/fake/microphone/fake_microphone_platform.h"

namespace {

using velloc::AudioFormat;
using velloc::PcmBuffer;

constexpr uint32_t kTapFrames = 4096;  // what velloc asks for on the converter path
constexpr double kTargetRate = 16000.0;
constexpr AudioFormat kConverterOutput{velloc::kCommonFormatFloat32, kTargetRate, 1, false};

// What velloc has written so far: frames counted and their energy summed, then
// let go, so that an hour of output never has to be held.
struct Written {
  uint64_t frames = 0;
  double squares = 0;
  void take(pcm::fake::FakeProcess& process) {
    EXPECT_EQ(process.stderrBytes(), "");
    const std::string bytes = process.stdoutBytes();
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
      int16_t sample;
      std::memcpy(&sample, &bytes[i], 2);
      squares += static_cast<double>(sample) * sample;
    }
    frames += bytes.size() / 2;
    process.clear();
  }
};

struct Backlog {
  double firstMinuteMax = 0;
  double lastTenMinutesMax = 0;
  double lastTenMinutesMin = 1e300;
  double rms = 0;  // of the whole output
};

// Plays `minutes` of a steady stereo tone through handleConverterTap. The tone
// has a whole number of periods per tap buffer, so one buffer repeated is a
// seamless signal.
Backlog runFor(double nativeRate, int minutes) {
  velloc::fake::FakeMicrophonePlatform platform;
  velloc::VellocState state;
  state.platform = &platform;
  state.nativeFormat = {velloc::kCommonFormatFloat32, nativeRate, 2, true};
  state.converterInputFormat = state.nativeFormat;
  state.outputHandle = &platform.processControl;
  state.firstCallbackLogged = true;  // the first-callback line is not under test
  auto converter = pulse::SoxrConverter::create(state.converterInputFormat, kConverterOutput);
  if (!converter) {
    ADD_FAILURE() << "no converter for " << nativeRate;
    return {};
  }

  PcmBuffer tap(state.nativeFormat, kTapFrames);
  const double frequency = 64.0 * nativeRate / kTapFrames;
  for (uint32_t f = 0; f < kTapFrames; ++f) {
    const auto v =
        static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * frequency * f / nativeRate));
    tap.floatChannelData()[0][2 * f] = v;
    tap.floatChannelData()[0][2 * f + 1] = v;
  }
  tap.setFrameLength(kTapFrames);

  const double ratio = kTargetRate / nativeRate;
  const auto callsPerMinute = static_cast<uint64_t>(std::ceil(60.0 * nativeRate / kTapFrames));
  const uint64_t calls = callsPerMinute * static_cast<uint64_t>(minutes);
  Backlog result;
  Written written;
  uint64_t inputFrames = 0;
  for (uint64_t call = 0; call < calls; ++call) {
    velloc::handleConverterTap(state, kConverterOutput, *converter, tap, {});
    written.take(platform.processControl);
    inputFrames += kTapFrames;
    const double backlog =
        static_cast<double>(inputFrames) * ratio - static_cast<double>(written.frames);
    if (call < callsPerMinute) result.firstMinuteMax = std::max(result.firstMinuteMax, backlog);
    if (call >= calls - 10 * callsPerMinute) {
      result.lastTenMinutesMax = std::max(result.lastTenMinutesMax, backlog);
      result.lastTenMinutesMin = std::min(result.lastTenMinutesMin, backlog);
    }
  }
  result.rms = std::sqrt(written.squares / static_cast<double>(written.frames));
  return result;
}

TEST(ConverterBacklog, StaysBoundedOverAnHourAt48kAnd441k) {
  for (const double rate : {48000.0, 44100.0}) {
    SCOPED_TRACE(rate);
    const Backlog backlog = runFor(rate, 60);
    std::printf(
        "%.0f Hz: backlog at most %.1f frames in the first minute, %.1f to %.1f in the "
        "last ten\n",
        rate, backlog.firstMinuteMax, backlog.lastTenMinutesMin, backlog.lastTenMinutesMax);
    // The filter's own delay and one tap's rounding, in output frames: nothing
    // that grows with time.
    EXPECT_LT(backlog.firstMinuteMax, 1024.0);
    // A frame or two of rounding either way; a fraction of a frame lost per call
    // would add thousands by now.
    EXPECT_LE(backlog.lastTenMinutesMax, backlog.firstMinuteMax + 4.0);
    EXPECT_GE(backlog.lastTenMinutesMin, 0.0);
    // A steady tone all along: nothing silenced or garbled on the way.
    EXPECT_NEAR(backlog.rms, 0.5 * 32767 / std::sqrt(2.0), 0.005 * 11585);
  }
}

}  // namespace
