#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "microphone/velloc.h"
#include "microphone/velloc_lines.h"

namespace velloc {
namespace {

// From running totals of input frames, so that the fraction of a frame one call cannot emit is owed
// to the next, not lost: the converter's backlog stays bounded.
std::optional<uint32_t> outputCapacity(double ratio, uint64_t before, uint64_t after) {
  if (!std::isfinite(ratio) || !(ratio > 0.0)) return std::nullopt;
  const double emittedBefore = std::floor(static_cast<double>(before) * ratio);
  const double emittedAfter = std::floor(static_cast<double>(after) * ratio);
  const double capacity = emittedAfter - emittedBefore;
  if (!std::isfinite(capacity) || capacity < 0.0 ||
      capacity > static_cast<double>(std::numeric_limits<uint32_t>::max())) {
    return std::nullopt;
  }
  return static_cast<uint32_t>(capacity);
}

// The most any `frames` input frames can owe, as floor(a + n r) - floor(a) never exceeds ceil(n r).
uint32_t mostOutputFrames(double ratio, uint32_t frames) {
  const double most = std::ceil(static_cast<double>(frames) * ratio);
  return most < static_cast<double>(std::numeric_limits<uint32_t>::max())
             ? static_cast<uint32_t>(most)
             : std::numeric_limits<uint32_t>::max();
}

void logFirstCallback(VellocState& state, uint32_t frameLength) {
  std::lock_guard<std::mutex> lock(state.firstCallbackFlag);
  if (state.firstCallbackLogged) return;
  state.firstCallbackLogged = true;
  say(state.platform->process(), lines::kFirstCallback, {std::to_string(frameLength)});
}

const PcmBuffer* supplyInputOnce(bool& inputSupplied, const PcmBuffer& buffer,
                                 uint32_t /*packetCount*/, ConverterInputStatus& status) {
  if (inputSupplied) {
    status = ConverterInputStatus::noDataNow;
    return nullptr;
  }
  inputSupplied = true;
  status = ConverterInputStatus::haveData;
  return &buffer;
}

// Made again only when a call owes more than it holds, then with room for any tap of `frames`.
PcmBuffer* outputBuffer(VellocState& state, const AudioFormat& format, double ratio,
                        uint32_t capacity, uint32_t frames) {
  if (!state.converterOutput || state.converterOutput->storedFrames() < capacity) {
    const uint32_t room = std::max(capacity, mostOutputFrames(ratio, frames));
    state.converterOutput = state.platform->makePcmBuffer(format, room);
    if (!state.converterOutput) return nullptr;
  }
  state.converterOutput->setFrameCapacity(capacity);
  state.converterOutput->setFrameLength(0);
  return state.converterOutput.get();
}

// Audio after a gap must not push out what the converter still holds from before it, which would
// land after the gap's silence: that goes out first, where it belongs, and the converter starts
// afresh, as on the silence it now follows.
void flushConverter(VellocState& state, const AudioFormat& outputFormat, AudioConverter& converter,
                    double ratio) {
  // What the input so far owes beyond what went out: what the converter holds.
  const double owed = std::floor(static_cast<double>(state.convertedInputFrames) * ratio) -
                      static_cast<double>(state.convertedOutputFrames);
  if (owed >= 1 && owed <= std::numeric_limits<uint32_t>::max()) {
    const auto frames = static_cast<uint32_t>(owed);
    if (PcmBuffer* output = outputBuffer(state, outputFormat, ratio, frames, 0)) {
      std::optional<PlatformError> error;
      converter.convert(*output, error, [](uint32_t, ConverterInputStatus& status) {
        status = ConverterInputStatus::endOfStream;
        return static_cast<const PcmBuffer*>(nullptr);
      });
      if (!error && output->frameLength() > 0) {
        writeInt16Samples(state, *output, std::numeric_limits<double>::quiet_NaN(), false);
      }
    }
  }
  converter.reset();
  state.convertedInputFrames = state.convertedOutputFrames = 0;
}

}  // namespace

void handleConverterTap(VellocState& state, const AudioFormat& outputFormat,
                        AudioConverter& converter, const PcmBuffer& buffer, const AudioTime& when) {
  logFirstCallback(state, buffer.frameLength());
  state.discontinuityPending |= when.discontinuity;

  const double ratio = state.targetSampleRate / state.nativeFormat.sampleRate;
  // Beyond this, audio is missing before the buffer (as the timeline mends a gap).
  constexpr double kGapSeconds = 0.001;
  if (when.discontinuity && when.hostTime - state.nextCapturedAt > kGapSeconds &&
      state.convertedInputFrames > 0) {
    flushConverter(state, outputFormat, converter, ratio);
  }
  state.nextCapturedAt = (std::isfinite(when.hostTime) ? when.hostTime : state.nextCapturedAt) +
                         buffer.frameLength() / state.nativeFormat.sampleRate;

  const uint64_t inputBefore = state.convertedInputFrames;
  const uint64_t inputAfter = inputBefore + buffer.frameLength();
  const auto capacity = outputCapacity(ratio, inputBefore, inputAfter);
  // Dropped buffers are not counted: the converter never sees them.
  if (!capacity || *capacity == 0) return;
  PcmBuffer* made = outputBuffer(state, outputFormat, ratio, *capacity, buffer.frameLength());
  if (made == nullptr) return;
  PcmBuffer& output = *made;

  bool inputSupplied = false;
  const ConverterInputBlock input = [&inputSupplied, &buffer](uint32_t packetCount,
                                                              ConverterInputStatus& status) {
    return supplyInputOnce(inputSupplied, buffer, packetCount, status);
  };
  state.convertedInputFrames = inputAfter;
  std::optional<PlatformError> error;
  const ConverterOutputStatus status = converter.convert(output, error, input);

  if (error) {
    say(state.platform->process(), lines::kConversionError, {error->localizedDescription});
    return;
  }
  if (status == ConverterOutputStatus::error) return;
  // Output frame n stands for the input at n / target rate seconds from the
  // input's start; this buffer's first input frame is inputBefore.
  const double capturedAt =
      when.hostTime + static_cast<double>(state.convertedOutputFrames) / state.targetSampleRate -
      static_cast<double>(inputBefore) / state.nativeFormat.sampleRate;
  state.convertedOutputFrames += output.frameLength();
  if (output.frameLength() > 0) {
    writeInt16Samples(state, output, capturedAt, std::exchange(state.discontinuityPending, false));
  }
}

void handleDirectTap(VellocState& state, const PcmBuffer& buffer, const AudioTime& when) {
  logFirstCallback(state, buffer.frameLength());
  writeInt16Samples(state, buffer, when.hostTime, when.discontinuity);
}

}  // namespace velloc
