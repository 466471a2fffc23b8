// Where the tool is deliberately safer than a literal reading would be: a dead
// standard output, rates that make no frame count, and a converter backlog that
// must not grow over a long capture.
#include <cerrno>
#include <cmath>
#include <limits>

#include "common/sample_rule.h"
#include "velloc_test_support.h"

namespace velloc::fake {
namespace {

TEST_F(VellocTest, DeadStandardOutputEndsTheToolWithStatusOne) {
  struct Case {
    int error;
    std::string line;
  };
  for (const Case& c :
       {Case{EPIPE, "[tamsel] FATAL: cannot write to stdout: Broken pipe\n"},
        Case{EIO, "[tamsel] FATAL: cannot write to stdout: Input/output error\n"},
        Case{ENOSPC, "[tamsel] FATAL: cannot write to stdout: No space left on device\n"}}) {
    FakeMicrophonePlatform fresh;
    VellocState freshState;
    fresh.input.nativeFormat = {kCommonFormatFloat32, 16000.0, 1, false};
    fresh.stdoutStream.failWithErrno = c.error;
    fresh.processControl.onPark = [&] { fresh.deliver(*makeMonoBuffer(16000.0, 1600, 0.5f)); };
    int status = -1;
    try {
      runVelloc(freshState, fresh, {});
    } catch (const ProcessExit& exit) {
      status = exit.status;
    }
    EXPECT_EQ(status, 1);
    EXPECT_EQ(fresh.processControl.lines().back(), c.line);
    EXPECT_EQ(fresh.stdoutStream.writeCount, 1);
  }
}

class UnusableRate : public VellocTest, public ::testing::WithParamInterface<double> {};

TEST_P(UnusableRate, DropsTheBufferWithoutCallingTheConverter) {
  setNative(kCommonFormatFloat32, GetParam(), 2);
  ASSERT_EQ(setUp(), std::nullopt);
  platform.deliver(*makeMonoBuffer(48000.0, 4096, 0.5f));
  platform.deliver(*makeMonoBuffer(48000.0, 4096, 0.5f));
  auto* converter = dynamic_cast<ResamplingConverter*>(state.converter.get());
  ASSERT_NE(converter, nullptr);
  EXPECT_EQ(converter->convertCalls, 0);
  EXPECT_TRUE(platform.pcmBufferCapacities.empty());
  EXPECT_EQ(platform.stdoutStream.writeCount, 0);
  EXPECT_EQ(state.convertedInputFrames, 0u);
  EXPECT_EQ(lines().back(), "[tamsel] First tap callback fired (frameLength=4096)\n");
}

// NaN; a rate so low that 4096 frames need more than 2^32 output frames; one so
// low that the ratio itself overflows to infinity; infinity, whose ratio is 0.
INSTANTIATE_TEST_SUITE_P(Rates, UnusableRate,
                         ::testing::Values(std::numeric_limits<double>::quiet_NaN(), 1e-3, 1e-305,
                                           std::numeric_limits<double>::infinity()));

// Drives `frames`-frame buffers of a ramp through the converter path; returns
// the largest input backlog the converter held after any call.
uint64_t runConverterPath(FakeMicrophonePlatform& platform, VellocState& state, double rate,
                          uint32_t frames, int calls, std::vector<float>& sent) {
  uint64_t worst = 0;
  for (int call = 0; call < calls; ++call) {
    auto buffer = makeMonoBuffer(rate, frames);
    for (uint32_t i = 0; i < frames; ++i) {
      const float value = static_cast<float>(sent.size() % 65536) / 32768.0f - 1.0f;
      buffer->floatChannelData()[0][i] = value;
      sent.push_back(value);
    }
    platform.deliver(*buffer);
    const auto& converter = dynamic_cast<const ResamplingConverter&>(*state.converter);
    worst = std::max(worst, converter.heldInputFrames());
  }
  return worst;
}

TEST_F(VellocTest, ConverterBacklogStaysBoundedOverALongCapture) {
  for (const double rate : {48000.0, 44100.0}) {
    FakeMicrophonePlatform fresh;
    VellocState freshState;
    freshState.platform = &fresh;
    fresh.input.nativeFormat = {kCommonFormatFloat32, rate, 1, false};
    setUpEngine(freshState);

    constexpr int kCalls = 3000;  // about four and a half minutes of audio
    std::vector<float> sent;
    const uint64_t worst = runConverterPath(fresh, freshState, rate, 4096, kCalls, sent);
    // Look-ahead of 16 frames plus under one output frame's worth of input.
    EXPECT_LE(worst, 16u + 3u) << rate;

    // Every emitted frame is the input frame the resampler chose, in order: no
    // frame lost or repeated between calls.
    const auto& bytes = fresh.stdoutStream.bytes;
    const std::size_t outFrames = bytes.size() / 2;
    const auto& converter = dynamic_cast<const ResamplingConverter&>(*freshState.converter);
    EXPECT_EQ(outFrames, converter.outputFrames());
    EXPECT_GE(outFrames, static_cast<std::size_t>(sent.size() * 16000.0 / rate) - 8);
    for (std::size_t m = 0; m < outFrames; ++m) {
      const auto source = static_cast<std::size_t>(m * static_cast<uint64_t>(rate) / 16000);
      const auto expected = static_cast<uint16_t>(pcm::sampleFromFloat(sent[source]));
      const auto got = static_cast<uint16_t>(bytes[2 * m] | (bytes[2 * m + 1] << 8));
      ASSERT_EQ(got, expected) << "frame " << m << " at " << rate;
    }
  }
}

// The same converter fed with capacities truncated call by call falls one frame
// further behind every few calls, without end.
TEST(ConverterBacklog, TruncatingEachCallOnItsOwnGrowsWithoutBound) {
  const AudioFormat native{kCommonFormatFloat32, 48000.0, 1, false};
  const AudioFormat out{kCommonFormatFloat32, 16000.0, 1, false};
  ResamplingConverter converter(native, out);
  const auto input = makeMonoBuffer(48000.0, 4096);
  const auto capacity = static_cast<uint32_t>(4096 * (16000.0 / 48000.0));
  for (int call = 0; call < 3000; ++call) {
    PcmBuffer output(out, capacity);
    bool supplied = false;
    std::optional<PlatformError> error;
    converter.convert(output, error, [&](uint32_t packets, ConverterInputStatus& status) {
      return supplyInputOnce(supplied, *input, packets, status);
    });
  }
  EXPECT_GE(converter.heldInputFrames(), 3000u - 16u);
}

}  // namespace
}  // namespace velloc::fake
