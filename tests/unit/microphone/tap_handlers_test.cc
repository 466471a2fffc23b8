// The audio path: the first-callback line, the converter protocol around each
// tap buffer, the capacities that keep the converter's backlog bounded, and the
// bytes the writer puts on standard output.
#include <cerrno>
#include <cmath>
#include <limits>

#include "common/sample_rule.h"
#include "tests/unit/common/sample_rule_table.h"
#include "velloc_test_support.h"

namespace velloc::fake {
namespace {

const AudioFormat kOutputFormat{kCommonFormatFloat32, 16000.0, 1, false};

// Taps 48 kHz stereo through a scripted converter, and writes to the fake's
// standard output.
struct ConverterTapping : Velloc {
  ConverterTapping(double rate = 48000.0) : Velloc({kCommonFormatFloat32, rate, 2, false}) {
    state.nativeFormat = platform.nativeFormat;
    state.outputHandle = &platform.processControl;
  }
  void tap(const PcmBuffer& buffer) {
    handleConverterTap(state, kOutputFormat, converter, buffer, AudioTime{});
  }
  void tapFrames(uint32_t frames) { tap(*makeMonoBuffer(state.nativeFormat.sampleRate, frames)); }
  ScriptedConverter converter;
};

class ConverterTap : public ::testing::Test, public ConverterTapping {};

// Buffers dropped for want of a whole output frame or of an output buffer are
// not counted; the first-callback line is written once, even for a dropped one.
TEST_F(ConverterTap, CapacitiesFollowTheRunningTotalOfInputHandedOver) {
  tapFrames(1);
  tapFrames(2);
  tapFrames(3);
  platform.pcmBuffersFail = true;
  tapFrames(4096);
  platform.pcmBuffersFail = false;
  for (int i = 0; i < 6; ++i) tapFrames(4096);
  EXPECT_EQ(converter.capacities, (std::vector<uint32_t>{1, 1365, 1365, 1366, 1365, 1365, 1366}));
  EXPECT_EQ(platform.processControl.stderrBytes(), firstCallback(1));
}

TEST(ConverterTapFirstCall, CapacityIsTheTruncatedProduct) {
  for (const auto& [rate, frames, capacity] :
       {std::tuple{48000.0, 4096u, 1365u}, {48000.0, 4800u, 1600u}, {44100.0, 4096u, 1486u}}) {
    ConverterTapping tapping(rate);
    tapping.tapFrames(frames);
    EXPECT_EQ(tapping.converter.capacities, std::vector<uint32_t>{capacity})
        << frames << "@" << rate;
  }
}

// NaN; a rate so low that 4096 frames need more than 2^32 output frames; one so
// low that the ratio itself overflows to infinity; infinity, whose ratio is 0.
TEST_F(ConverterTap, RatesThatGiveNoFrameCountDropTheBuffer) {
  for (const double rate : {std::nan(""), 1e-3, 1e-305, std::numeric_limits<double>::infinity()}) {
    state.nativeFormat.sampleRate = rate;
    tapFrames(4096);
  }
  EXPECT_TRUE(converter.capacities.empty());
  EXPECT_EQ(transcript(), Lines{firstCallback(4096)});
}

TEST_F(ConverterTap, InputCallbackHandsOverTheTapBufferOnceThenNoDataNow) {
  converter.inputRequests = 3;
  const auto buffer = makeMonoBuffer(48000.0, 4096);
  tap(*buffer);
  tap(*buffer);  // each call supplies its own buffer again
  using enum ConverterInputStatus;
  const ScriptedConverter::Answers answers{
      {haveData, buffer.get()}, {noDataNow, nullptr}, {noDataNow, nullptr}};
  EXPECT_EQ(converter.answers, (std::vector{answers, answers}));
}

TEST(ConverterOutcome, StatusAndErrorSlotDecideWhatIsWritten) {
  using enum ConverterOutputStatus;
  const char* const failure = "The operation couldn’t be completed. (-50)";
  for (const auto& [status, frames, error, written] :
       {std::tuple{error, 100u, "", ""},
        {haveData, 100u, "", "stdout 200 bytes"},
        {inputRanDry, 7u, "", "stdout 14 bytes"},
        {endOfStream, 1u, "", "stdout 2 bytes"},
        {haveData, 0u, "", ""},
        // The error slot wins over frames and status; capture goes on.
        {haveData, 100u, failure,
         "[tamsel] Conversion error: The operation couldn’t be completed. (-50)\n"}}) {
    ConverterTapping tapping;
    tapping.converter.status = status;
    tapping.converter.framesToEmit = frames;
    if (*error != '\0') tapping.converter.error = PlatformError{error};
    tapping.tapFrames(4096);
    Lines expected{firstCallback(4096)};
    if (*written != '\0') expected.push_back(written);
    EXPECT_EQ(tapping.transcript(), expected);
  }
}

// A long capture through the installed converter tap: the converter never holds
// more than its look-ahead plus under one output frame's worth of input, and
// every frame it emits reaches standard output once, in order. Each buffer has
// its own level, so a frame from the wrong place shows.
TEST(ConverterBacklog, StaysBoundedOverALongCapture) {
  const auto level = [](uint64_t buffer) {
    return static_cast<float>(buffer % 199) / 99.0f - 1.0f;
  };
  for (const double rate : {48000.0, 44100.0}) {
    Velloc velloc({kCommonFormatFloat32, rate, 1, false});
    ASSERT_EQ(velloc.setUp(), std::nullopt);
    const auto& converter = dynamic_cast<const ResamplingConverter&>(*velloc.state.converter);
    uint64_t worst = 0;
    for (int call = 0; call < 3000; ++call) {  // about four and a half minutes of audio
      velloc.platform.deliver(*makeMonoBuffer(rate, 4096, level(call)));
      worst = std::max(worst, converter.heldInputFrames());
    }
    EXPECT_LE(worst, ResamplingConverter::kHoldBack + 3) << rate;
    const std::string out = velloc.stdoutBytes();
    ASSERT_EQ(out.size(), 2 * converter.emittedFrames());
    for (std::size_t m = 0; m < converter.emittedFrames(); ++m) {
      ASSERT_EQ(pcm::test::sampleAt(out, m),
                pcm::sampleFromFloat(level(converter.sourceIndex(m) / 4096)))
          << "frame " << m << " at " << rate;
    }
  }
}

TEST_F(ConverterTap, WriterAppliesThePerSampleRuleLowByteFirst) {
  writeInt16Samples(state, *makeFloatBuffer(16000.0, pcm::test::ruleTableInputs()));
  EXPECT_EQ(stdoutBytes(), pcm::test::ruleTableBytes());
}

// The byte buffer is kept between calls; a shorter buffer after a longer one
// must not carry any of the longer one's bytes.
TEST_F(ConverterTap, WriterWritesChannelZeroOfEachBufferInOneWriteOfTwoBytesPerFrame) {
  writeInt16Samples(state, *makeMonoBuffer(16000.0, 1600, 1.0f));
  writeInt16Samples(state, *makeMonoBuffer(16000.0, 3, -1.0f));
  writeInt16Samples(state, *makeMonoBuffer(16000.0, 0));  // nothing at all
  PcmBuffer ints({kCommonFormatInt16, 16000.0, 1, true}, 16);
  ints.setFrameLength(16);
  writeInt16Samples(state, ints);  // no float data: nothing at all
  writeInt16Samples(state, *makeFloatBuffer(16000.0, {1.0f, -1.0f, 0.25f, 0.25f}, 2));  // planar
  writeInt16Samples(
      state, *makeFloatBuffer(16000.0, {1.0f, 0.25f, -1.0f, 0.25f}, 2, true));  // interleaved
  EXPECT_EQ(transcript(),
            (Lines{"stdout 3200 bytes", "stdout 6 bytes", "stdout 4 bytes", "stdout 4 bytes"}));
  EXPECT_EQ(stdoutBytes().substr(3200), "\x01\x80\x01\x80\x01\x80\xFF\x7F\x01\x80\xFF\x7F\x01\x80");
}

// Audio that can go nowhere is not worth holding the microphone for.
TEST_F(ConverterTap, WriterStandardOutputThatFailsForGoodEndsTheToolWithStatusOne) {
  for (const int error : {EPIPE, EIO, ENOSPC}) {
    platform.processControl.failWith = error;
    EXPECT_EQ(exitStatusOf([&] { writeInt16Samples(state, *makeMonoBuffer(16000.0, 1, 0.5f)); }),
              1);
  }
  EXPECT_EQ(transcript(),
            (Lines{"stdout 2 bytes", "[tamsel] FATAL: cannot write to stdout: Broken pipe\n",
                   "stdout 2 bytes", "[tamsel] FATAL: cannot write to stdout: Input/output error\n",
                   "stdout 2 bytes",
                   "[tamsel] FATAL: cannot write to stdout: No space left on device\n"}));
}

}  // namespace
}  // namespace velloc::fake
