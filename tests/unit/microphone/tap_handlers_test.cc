// The first-callback line, the converter protocol around one tap buffer, and the
// direct tap.
#include "velloc_test_support.h"

namespace velloc::fake {
namespace {

const AudioFormat kOutputFormat{kCommonFormatFloat32, 16000.0, 1, false};

class ConverterTap : public VellocTest {
 protected:
  ConverterTap() {
    state.nativeFormat = {kCommonFormatFloat32, 48000.0, 2, false};
    state.outputHandle = &platform.stdoutStream;
  }
  void tap(const PcmBuffer& buffer) {
    handleConverterTap(state, kOutputFormat, converter, buffer, AudioTime{});
  }
  void tapFrames(uint32_t frames) { tap(*makeMonoBuffer(state.nativeFormat.sampleRate, frames)); }
  std::vector<uint32_t> capacities() const {
    std::vector<uint32_t> out;
    for (const auto& call : converter.calls) out.push_back(call.capacity);
    return out;
  }
  ScriptedConverter converter;
};

TEST_F(ConverterTap, FirstCallbackLineIsWrittenOnceWithTheTapFrameLength) {
  tapFrames(4800);
  tapFrames(4800);
  EXPECT_EQ(lines(),
            std::vector<std::string>{"[tamsel] First tap callback fired (frameLength=4800)\n"});
}

TEST_F(ConverterTap, FirstCallbackLineIsWrittenEvenForADroppedBuffer) {
  tapFrames(1);
  EXPECT_EQ(lines(),
            std::vector<std::string>{"[tamsel] First tap callback fired (frameLength=1)\n"});
  EXPECT_TRUE(converter.calls.empty());
}

TEST_F(ConverterTap, FirstCallCapacityIsTheTruncatedProduct) {
  struct Case {
    double rate;
    uint32_t frames;
    uint32_t capacity;
  };
  for (const Case& c : {Case{48000.0, 4096, 1365}, Case{48000.0, 4800, 1600},
                        Case{44100.0, 4096, 1486}, Case{48000.0, 3, 1}}) {
    VellocState fresh;
    fresh.platform = &platform;
    fresh.outputHandle = &platform.stdoutStream;
    fresh.nativeFormat = {kCommonFormatFloat32, c.rate, 2, false};
    ScriptedConverter scripted;
    handleConverterTap(fresh, kOutputFormat, scripted, *makeMonoBuffer(c.rate, c.frames), {});
    ASSERT_EQ(scripted.calls.size(), 1u);
    EXPECT_EQ(scripted.calls[0].capacity, c.capacity) << c.frames << "@" << c.rate;
  }
}

TEST_F(ConverterTap, BuffersTooShortForOneOutputFrameAreDroppedAndNotCounted) {
  tapFrames(1);
  tapFrames(2);
  EXPECT_TRUE(converter.calls.empty());
  EXPECT_TRUE(platform.pcmBufferCapacities.empty());
  tapFrames(3);  // would be 2 frames' worth if the dropped ones had counted
  EXPECT_EQ(capacities(), std::vector<uint32_t>{1});
  EXPECT_TRUE(stdoutBytes().size() == 2u);
}

TEST_F(ConverterTap, CapacitiesCarryTheFractionFromCallToCall) {
  for (int i = 0; i < 6; ++i) tapFrames(4096);
  EXPECT_EQ(capacities(), (std::vector<uint32_t>{1365, 1365, 1366, 1365, 1365, 1366}));
}

TEST_F(ConverterTap, InputCallbackHandsOverTheTapBufferOnceThenNoDataNow) {
  converter.script.inputRequests = 3;
  const auto buffer = makeMonoBuffer(48000.0, 4096);
  tap(*buffer);
  ASSERT_EQ(converter.calls.size(), 1u);
  const auto& answers = converter.calls[0].answers;
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(answers[0].status, ConverterInputStatus::haveData);
  EXPECT_EQ(answers[0].buffer, buffer.get());  // the buffer itself, not a copy
  for (int i = 1; i < 3; ++i) {
    EXPECT_EQ(answers[i].status, ConverterInputStatus::noDataNow);
    EXPECT_EQ(answers[i].buffer, nullptr);
  }
  tap(*buffer);  // a new call supplies its buffer again
  EXPECT_EQ(converter.calls[1].answers[0].status, ConverterInputStatus::haveData);
}

TEST_F(ConverterTap, ErrorSlotWinsOverFramesAndStatus) {
  converter.script.error = PlatformError{"The operation couldn’t be completed. (-50)"};
  converter.script.status = ConverterOutputStatus::haveData;
  tapFrames(4096);
  EXPECT_EQ(lines().back(),
            "[tamsel] Conversion error: The operation couldn’t be completed. (-50)\n");
  EXPECT_EQ(platform.stdoutStream.writeCount, 0);
  tapFrames(4096);  // capture goes on
  EXPECT_EQ(converter.calls.size(), 2u);
}

TEST_F(ConverterTap, OutputStatusDecidesWhetherFramesAreWritten) {
  struct Case {
    ConverterOutputStatus status;
    uint32_t frames;
    std::size_t bytes;
  };
  for (const Case& c :
       {Case{ConverterOutputStatus::error, 100, 0}, Case{ConverterOutputStatus::haveData, 100, 200},
        Case{ConverterOutputStatus::inputRanDry, 7, 14},
        Case{ConverterOutputStatus::endOfStream, 1, 2},
        Case{ConverterOutputStatus::haveData, 0, 0}}) {
    FakeMicrophonePlatform fresh;
    VellocState freshState;
    freshState.platform = &fresh;
    freshState.outputHandle = &fresh.stdoutStream;
    freshState.nativeFormat = state.nativeFormat;
    ScriptedConverter scripted;
    scripted.script.status = c.status;
    scripted.script.framesToEmit = c.frames;
    handleConverterTap(freshState, kOutputFormat, scripted, *makeMonoBuffer(48000.0, 4096), {});
    EXPECT_EQ(fresh.stdoutStream.bytes.size(), c.bytes);
    EXPECT_EQ(fresh.stdoutStream.writeCount, c.bytes == 0 ? 0 : 1);
    EXPECT_EQ(fresh.processControl.lines().size(), 1u);  // the first-callback line only
  }
}

TEST_F(ConverterTap, OutputBufferThatCannotBeMadeDropsTheBufferUncounted) {
  platform.failPcmBuffers = true;
  tapFrames(4096);
  EXPECT_TRUE(converter.calls.empty());
  platform.failPcmBuffers = false;
  tapFrames(4096);
  EXPECT_EQ(capacities(), std::vector<uint32_t>{1365});
}

TEST_F(VellocTest, DirectTapWritesEachBufferInOneWrite) {
  setNative(kCommonFormatFloat32, 16000.0, 1);
  ASSERT_EQ(setUp(), std::nullopt);
  platform.deliver(*makeMonoBuffer(16000.0, 1600, 0.5f));
  platform.deliver(*makeMonoBuffer(16000.0, 0));
  EXPECT_EQ(platform.stdoutStream.writeSizes, std::vector<std::size_t>{3200});
  EXPECT_EQ(lines().back(), "[tamsel] First tap callback fired (frameLength=1600)\n");
}

}  // namespace
}  // namespace velloc::fake
