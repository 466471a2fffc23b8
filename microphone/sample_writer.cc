#include <cstddef>
#include <string>
#include <system_error>

#include "common/timeline.h"
#include "microphone/velloc.h"
#include "microphone/velloc_lines.h"

namespace velloc {
namespace {

// An interleaved buffer's channel 0 is gathered first, so that the encoder runs a contiguous loop.
const float* channelZero(VellocState& state, const PcmBuffer& buffer, std::size_t frames) {
  const float* plane = buffer.floatChannelData()[0];
  const std::size_t stride = buffer.stride();
  if (stride <= 1) return plane;
  state.interleavedScratch.resize(frames);
  for (std::size_t i = 0; i < frames; ++i) state.interleavedScratch[i] = plane[i * stride];
  return state.interleavedScratch.data();
}

}  // namespace

void writeInt16Samples(VellocState& state, const PcmBuffer& buffer, double capturedAt,
                       bool discontinuity) {
  if (buffer.floatChannelData() == nullptr) return;
  const std::size_t frames = buffer.frameLength();
  if (frames == 0) return;

  pcm::ProcessControl& process = state.platform->process();
  const int failure =
      state.timeline->push({channelZero(state, buffer, frames), frames}, capturedAt, discontinuity);
  if (!state.stamped) {
    state.stamped = true;
    pcm::saySampleZero(process, lines::kSampleZero, *state.timeline->start());
  }
  if (failure != 0) {
    // Audio that can go nowhere is not worth holding the microphone for.
    end(process, lines::kStdoutFailed, {std::generic_category().message(failure)});
  }
}

}  // namespace velloc
