#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velloc {

inline constexpr uint32_t kCommonFormatFloat32 = 1;
inline constexpr uint32_t kCommonFormatInt16 = 3;

struct AudioFormat {
  uint32_t commonFormat = 0;  // kCommonFormat*; any other value is a format the tool cannot read
  double sampleRate = 0.0;
  uint32_t channelCount = 0;
  bool interleaved = false;
};

// 0 for a format the tool cannot read.
std::size_t bytesPerSample(const AudioFormat& format);

// Non-interleaved formats keep one plane per channel, interleaved ones a single plane of whole
// frames. Only the sample type the format names has data: a float buffer has no int16 data.
class PcmBuffer {
 public:
  // Owns zeroed room for `frameCapacity` frames.
  PcmBuffer(const AudioFormat& format, uint32_t frameCapacity);
  // Lends frames their owner keeps alive while this buffer is used. Only an interleaved (or
  // one-channel) format can lay its planes over one run of bytes.
  PcmBuffer(const AudioFormat& format, std::span<std::byte> frames);
  PcmBuffer(const PcmBuffer&) = delete;
  PcmBuffer& operator=(const PcmBuffer&) = delete;

  const AudioFormat& format() const { return format_; }
  // The frames a writer may fill this time, at most storedFrames().
  uint32_t frameCapacity() const { return frameCapacity_; }
  void setFrameCapacity(uint32_t frames);
  uint32_t storedFrames() const { return storedFrames_; }
  uint32_t frameLength() const { return frameLength_; }
  // Clamped to the capacity.
  void setFrameLength(uint32_t frames);

  // nullptr when the format holds no samples of that type.
  float* const* floatChannelData() { return floatPlanes_.empty() ? nullptr : floatPlanes_.data(); }
  const float* const* floatChannelData() const;
  int16_t* const* int16ChannelData() { return intPlanes_.empty() ? nullptr : intPlanes_.data(); }
  const int16_t* const* int16ChannelData() const;

  uint32_t stride() const { return format_.interleaved ? format_.channelCount : 1; }

 private:
  void layPlanes(std::byte* data);

  AudioFormat format_;
  uint32_t storedFrames_;
  uint32_t frameCapacity_;
  uint32_t frameLength_ = 0;
  std::vector<std::byte> owned_;
  std::vector<float*> floatPlanes_;
  std::vector<int16_t*> intPlanes_;
};

}  // namespace velloc
