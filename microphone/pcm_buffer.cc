#include "microphone/pcm_buffer.h"

namespace velloc {

std::size_t bytesPerSample(const AudioFormat& format) {
  switch (format.commonFormat) {
    case kCommonFormatFloat32:
      return sizeof(float);
    case kCommonFormatInt16:
      return sizeof(int16_t);
    default:
      return 0;
  }
}

PcmBuffer::PcmBuffer(const AudioFormat& format, uint32_t frameCapacity)
    : format_(format), storedFrames_(frameCapacity), frameCapacity_(frameCapacity) {
  owned_.resize(bytesPerSample(format) * format.channelCount * frameCapacity);
  layPlanes(owned_.data());
}

PcmBuffer::PcmBuffer(const AudioFormat& format, std::span<std::byte> frames)
    : format_(format), storedFrames_(0), frameCapacity_(0) {
  const std::size_t frameBytes = bytesPerSample(format) * format.channelCount;
  if (frameBytes == 0 || (!format.interleaved && format.channelCount != 1)) return;
  storedFrames_ = frameCapacity_ = static_cast<uint32_t>(frames.size() / frameBytes);
  layPlanes(frames.data());
}

void PcmBuffer::layPlanes(std::byte* data) {
  const std::size_t channels = format_.channelCount;
  const std::size_t planes = format_.interleaved ? 1 : channels;
  const std::size_t planeBytes = bytesPerSample(format_) * storedFrames_ * (channels / planes);
  if (channels == 0 || bytesPerSample(format_) == 0) return;
  for (std::size_t p = 0; p < planes; ++p) {
    std::byte* plane = data + p * planeBytes;
    if (format_.commonFormat == kCommonFormatFloat32) {
      floatPlanes_.push_back(reinterpret_cast<float*>(plane));
    } else {
      intPlanes_.push_back(reinterpret_cast<int16_t*>(plane));
    }
  }
}

void PcmBuffer::setFrameCapacity(uint32_t frames) {
  frameCapacity_ = frames < storedFrames_ ? frames : storedFrames_;
  if (frameLength_ > frameCapacity_) frameLength_ = frameCapacity_;
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
