#include "fake_converters.h"

#include <algorithm>
#include <cmath>

namespace velloc::fake {

ConverterOutputStatus ScriptedConverter::convert(PcmBuffer& output,
                                                 std::optional<PlatformError>& error,
                                                 const ConverterInputBlock& input) {
  Call call{output.frameCapacity(), {}};
  for (int i = 0; i < script.inputRequests; ++i) {
    ConverterInputStatus status = ConverterInputStatus::endOfStream;
    const PcmBuffer* buffer = input(output.frameCapacity(), status);
    call.answers.push_back({status, buffer});
  }
  calls.push_back(std::move(call));

  const uint32_t frames =
      std::min(script.framesToEmit.value_or(output.frameCapacity()), output.frameCapacity());
  if (float* const* planes = output.floatChannelData()) {
    std::fill(planes[0], planes[0] + frames * output.stride(), script.sample);
  }
  output.setFrameLength(frames);
  if (script.error) error = script.error;
  return script.status;
}

ResamplingConverter::ResamplingConverter(const AudioFormat& from, const AudioFormat& to,
                                         uint64_t holdBack)
    : holdBack_(holdBack) {
  usable_ = std::isfinite(from.sampleRate) && from.sampleRate >= 1.0 &&
            std::isfinite(to.sampleRate) && to.sampleRate >= 1.0;
  inRate_ = usable_ ? static_cast<uint64_t>(from.sampleRate) : 1;
  outRate_ = usable_ ? static_cast<uint64_t>(to.sampleRate) : 1;
}

uint64_t ResamplingConverter::emittable() const {
  if (inputFrames_ <= holdBack_) return 0;
  // Frames m with sourceIndex(m) + holdBack < inputFrames.
  const uint64_t reachable = ((inputFrames_ - holdBack_) * outRate_ + inRate_ - 1) / inRate_;
  return reachable > outputFrames_ ? reachable - outputFrames_ : 0;
}

void ResamplingConverter::take(const PcmBuffer& buffer) {
  const uint32_t frames = buffer.frameLength();
  if (const float* const* planes = buffer.floatChannelData()) {
    for (uint32_t i = 0; i < frames; ++i) queue_.push_back(planes[0][i * buffer.stride()]);
  } else if (const int16_t* const* planes = buffer.int16ChannelData()) {
    for (uint32_t i = 0; i < frames; ++i) {
      queue_.push_back(static_cast<float>(planes[0][i * buffer.stride()]) / 32768.0f);
    }
  } else {
    queue_.insert(queue_.end(), frames, 0.0f);
  }
  inputFrames_ += frames;
}

ConverterOutputStatus ResamplingConverter::convert(PcmBuffer& output,
                                                   std::optional<PlatformError>& error,
                                                   const ConverterInputBlock& input) {
  ++convertCalls;
  if (!usable_) {
    error = PlatformError{"The operation couldn't be completed. (rate)"};
    return ConverterOutputStatus::error;
  }
  const uint32_t capacity = output.frameCapacity();
  while (emittable() < capacity) {
    ConverterInputStatus status = ConverterInputStatus::endOfStream;
    const PcmBuffer* buffer = input(capacity, status);
    if (status != ConverterInputStatus::haveData || buffer == nullptr) break;
    take(*buffer);
  }

  const auto frames = static_cast<uint32_t>(std::min<uint64_t>(emittable(), capacity));
  float* out = output.floatChannelData() ? output.floatChannelData()[0] : nullptr;
  for (uint32_t j = 0; j < frames; ++j) {
    const uint64_t source = sourceIndex(outputFrames_ + j);
    if (out != nullptr) out[j * output.stride()] = queue_[source - queueStart_];
  }
  outputFrames_ += frames;
  // Forget the input that no later output frame can need.
  const uint64_t keepFrom = sourceIndex(outputFrames_);
  while (queueStart_ < keepFrom && !queue_.empty()) {
    queue_.pop_front();
    ++queueStart_;
  }
  output.setFrameLength(frames);
  return frames < capacity ? ConverterOutputStatus::inputRanDry : ConverterOutputStatus::haveData;
}

}  // namespace velloc::fake
