#include "microphone/pcm_buffer.h"

namespace velloc {
namespace {

template <typename Sample>
void makePlanes(const AudioFormat& format, uint32_t frames, std::vector<Sample>& samples,
                std::vector<Sample*>& planes) {
  const std::size_t channels = format.channelCount;
  if (channels == 0) return;
  samples.assign(channels * frames, Sample{});
  if (format.interleaved) {
    planes.push_back(samples.data());
    return;
  }
  for (std::size_t c = 0; c < channels; ++c) planes.push_back(samples.data() + c * frames);
}

}  // namespace

PcmBuffer::PcmBuffer(const AudioFormat& format, uint32_t frameCapacity)
    : format_(format), frameCapacity_(frameCapacity) {
  if (format.commonFormat == kCommonFormatFloat32) {
    makePlanes(format, frameCapacity, floatSamples_, floatPlanes_);
  } else if (format.commonFormat == kCommonFormatInt16) {
    makePlanes(format, frameCapacity, intSamples_, intPlanes_);
  }
}

void PcmBuffer::setFrameLength(uint32_t frames) {
  frameLength_ = frames < frameCapacity_ ? frames : frameCapacity_;
}

const float* const* PcmBuffer::floatChannelData() const {
  return floatPlanes_.empty() ? nullptr : floatPlanes_.data();
}

const int16_t* const* PcmBuffer::int16ChannelData() const {
  return intPlanes_.empty() ? nullptr : intPlanes_.data();
}

}  // namespace velloc
