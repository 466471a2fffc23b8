#include <cstddef>
#include <string>
#include <system_error>

#include "common/sample_rule.h"
#include "microphone/velloc.h"

namespace velloc {
namespace {

// Channel 0 of an interleaved buffer is every stride-th sample; gathering it
// first keeps the encoder a plain contiguous loop.
const float* channelZero(VellocState& state, const PcmBuffer& buffer, std::size_t frames) {
  const float* plane = buffer.floatChannelData()[0];
  const std::size_t stride = buffer.stride();
  if (stride <= 1) return plane;
  state.interleavedScratch.resize(frames);
  for (std::size_t i = 0; i < frames; ++i) state.interleavedScratch[i] = plane[i * stride];
  return state.interleavedScratch.data();
}

}  // namespace

void writeInt16Samples(VellocState& state, const PcmBuffer& buffer) {
  if (buffer.floatChannelData() == nullptr) return;
  const std::size_t frames = buffer.frameLength();
  if (frames == 0) return;

  const float* samples = channelZero(state, buffer, frames);
  const std::size_t byteCount = 2 * frames;
  if (state.pcmBytes.size() < byteCount) state.pcmBytes.resize(byteCount);
  pcm::encodePcm16le(samples, frames, state.pcmBytes.data());

  const int failure = state.outputHandle->write({state.pcmBytes.data(), byteCount});
  if (failure != 0) {
    // Audio that can go nowhere is not worth holding the microphone for.
    pcm::ProcessControl& process = state.platform->process();
    process.writeDiagnostic("[tamsel] FATAL: cannot write to stdout: " +
                            std::generic_category().message(failure) + "\n");
    process.exitProcess(1);
  }
}

}  // namespace velloc
