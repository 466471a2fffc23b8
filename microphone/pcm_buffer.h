// Audio formats and PCM buffers as the microphone tool sees them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velloc {

// Raw values of the platform's common sample formats.
inline constexpr uint32_t kCommonFormatFloat32 = 1;
inline constexpr uint32_t kCommonFormatInt16 = 3;

struct AudioFormat {
  uint32_t commonFormat = 0;  // kCommonFormat*; any other value is a format the tool cannot read
  double sampleRate = 0.0;
  uint32_t channelCount = 0;
  bool interleaved = false;
};

// Bytes of one sample of `format`, or 0 for a format the tool cannot read.
std::size_t bytesPerSample(const AudioFormat& format);

// A block of frames in one AudioFormat. Non-interleaved formats keep one plane
// per channel; interleaved formats keep one plane holding every channel, frame
// after frame. Sample data exists only for the type the format names: a float
// buffer has no int16 data and the other way round.
class PcmBuffer {
 public:
  // Owns zeroed room for `frameCapacity` frames.
  PcmBuffer(const AudioFormat& format, uint32_t frameCapacity);
  // Lends frames that someone else owns and keeps alive for as long as this
  // buffer is used: a block as the platform delivered it. Only an interleaved
  // (or one-channel) format can lay its planes over one run of bytes.
  PcmBuffer(const AudioFormat& format, std::span<std::byte> frames);
  PcmBuffer(const PcmBuffer&) = delete;
  PcmBuffer& operator=(const PcmBuffer&) = delete;

  const AudioFormat& format() const { return format_; }
  // The frames a writer may fill this time: at most the frames the storage holds.
  uint32_t frameCapacity() const { return frameCapacity_; }
  void setFrameCapacity(uint32_t frames);
  uint32_t storedFrames() const { return storedFrames_; }
  uint32_t frameLength() const { return frameLength_; }
  // Clamped to the capacity.
  void setFrameLength(uint32_t frames);

  // One pointer per plane, or nullptr when the format holds no samples of that type.
  float* const* floatChannelData() { return floatPlanes_.empty() ? nullptr : floatPlanes_.data(); }
  const float* const* floatChannelData() const;
  int16_t* const* int16ChannelData() { return intPlanes_.empty() ? nullptr : intPlanes_.data(); }
  const int16_t* const* int16ChannelData() const;

  // Samples from one frame to the next within a plane: 1, or the channel count when interleaved.
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
