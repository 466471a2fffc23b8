#include "platform/pulse/soxr_converter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "platform/pulse/capture_formats.h"

namespace pulse {
namespace {

using velloc::AudioFormat;
using velloc::ConverterInputStatus;
using velloc::ConverterOutputStatus;
using velloc::PcmBuffer;

bool oneRunOfFrames(const AudioFormat& format) {
  return format.interleaved || format.channelCount == 1;
}

bool sameLayout(const AudioFormat& a, const AudioFormat& b) {
  return a.commonFormat == b.commonFormat && a.channelCount == b.channelCount &&
         oneRunOfFrames(a) == oneRunOfFrames(b);
}

// A filter spreads a non-finite sample over its neighbours (a NaN over a whole block), so those are
// limited as the PCM rule would before they enter it.
float toFloat(float sample) {
  if (std::isnan(sample)) return 1.0f;
  if (std::isinf(sample)) return sample > 0 ? 1.0f : -1.0f;
  return sample;
}
float toFloat(int16_t sample) { return static_cast<float>(sample) / 32768.0f; }

template <typename Sample>
void mix(const Sample* frames, std::size_t count, uint32_t inChannels, uint32_t outChannels,
         float* out) {
  if (outChannels == inChannels) {
    for (std::size_t i = 0; i < count * inChannels; ++i) out[i] = toFloat(frames[i]);
    return;
  }
  const float scale = 1.0f / static_cast<float>(inChannels);
  for (std::size_t f = 0; f < count; ++f) {
    float sum = 0.0f;
    for (uint32_t c = 0; c < inChannels; ++c) sum += toFloat(frames[f * inChannels + c]);
    out[f] = sum * scale;
  }
}

}  // namespace

std::unique_ptr<SoxrConverter> SoxrConverter::create(const AudioFormat& from, const AudioFormat& to,
                                                     unsigned long quality) {
  if (!capturable(from) || !capturable(to) || !oneRunOfFrames(from) || !oneRunOfFrames(to) ||
      to.commonFormat != velloc::kCommonFormatFloat32) {
    return nullptr;
  }
  if (to.channelCount != 1 && to.channelCount != from.channelCount) return nullptr;
  soxr_t soxr = nullptr;
  if (from.sampleRate != to.sampleRate) {
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t spec = soxr_quality_spec(quality, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr =
        soxr_create(from.sampleRate, to.sampleRate, to.channelCount, &error, &io, &spec, &runtime);
    if (soxr == nullptr || error != nullptr) {
      if (soxr != nullptr) soxr_delete(soxr);
      return nullptr;
    }
  }
  return std::unique_ptr<SoxrConverter>(new SoxrConverter(from, to, soxr));
}

SoxrConverter::SoxrConverter(const AudioFormat& from, const AudioFormat& to, soxr_t soxr)
    : from_(from), to_(to), soxr_(soxr), channels_(to.channelCount) {}

SoxrConverter::~SoxrConverter() {
  if (soxr_ != nullptr) soxr_delete(soxr_);
}

ConverterOutputStatus SoxrConverter::convert(PcmBuffer& output,
                                             std::optional<velloc::PlatformError>& error,
                                             const velloc::ConverterInputBlock& input) {
  if (!sameLayout(output.format(), to_)) {
    error = velloc::PlatformError{"the output buffer is not in the converter's output format"};
    return ConverterOutputStatus::error;
  }
  const uint32_t capacity = output.frameCapacity();
  float* out = output.floatChannelData()[0];
  uint32_t written = 0;
  bool asked = false;
  for (;;) {
    written += static_cast<uint32_t>(resample(out + written * channels_, capacity - written));
    if (drained_) {
      output.setFrameLength(written);
      return ConverterOutputStatus::endOfStream;
    }
    if (ended_ || (written == capacity && asked)) break;

    const double ratio = to_.sampleRate / from_.sampleRate;
    const double wanted = std::ceil((capacity - written) / ratio);
    const uint32_t packets = static_cast<uint32_t>(std::clamp(wanted, 1.0, 1048576.0));
    ConverterInputStatus status = ConverterInputStatus::noDataNow;
    const PcmBuffer* buffer = input(packets, status);
    asked = true;
    if (status == ConverterInputStatus::endOfStream) {
      ended_ = true;
      continue;
    }
    if (status != ConverterInputStatus::haveData || buffer == nullptr ||
        buffer->frameLength() == 0) {
      break;  // nothing more this time; an empty buffer counts as none
    }
    if (!sameLayout(buffer->format(), from_)) {
      output.setFrameLength(written);
      error = velloc::PlatformError{"the input buffer is not in the converter's input format"};
      return ConverterOutputStatus::error;
    }
    mixDown(*buffer);
  }
  output.setFrameLength(written);
  return written == capacity ? ConverterOutputStatus::haveData : ConverterOutputStatus::inputRanDry;
}

void SoxrConverter::reset() {
  if (soxr_ != nullptr) soxr_clear(soxr_);
  mixed_.clear();
  mixedStart_ = 0;
  ended_ = drained_ = false;
}

void SoxrConverter::mixDown(const PcmBuffer& buffer) {
  if (mixedStart_ > 0) {
    mixed_.erase(mixed_.begin(), mixed_.begin() + static_cast<std::ptrdiff_t>(mixedStart_));
    mixedStart_ = 0;
  }
  const std::size_t frames = buffer.frameLength();
  const std::size_t at = mixed_.size();
  mixed_.resize(at + frames * channels_);
  const uint32_t inChannels = from_.channelCount;
  if (const auto* floats = buffer.floatChannelData()) {
    mix(floats[0], frames, inChannels, channels_, mixed_.data() + at);
  } else {
    mix(buffer.int16ChannelData()[0], frames, inChannels, channels_, mixed_.data() + at);
  }
}

std::size_t SoxrConverter::resample(float* out, std::size_t frames) {
  const std::size_t waiting = (mixed_.size() - mixedStart_) / channels_;
  const float* in = mixed_.data() + mixedStart_;
  if (soxr_ == nullptr) {
    const std::size_t count = std::min(waiting, frames);
    if (count > 0) std::memcpy(out, in, count * channels_ * sizeof(float));
    mixedStart_ += count * channels_;
    if (ended_ && mixedStart_ == mixed_.size()) drained_ = true;
    return count;
  }
  std::size_t written = 0;
  if (frames == 0) return 0;  // the input waits; the filter needs room to take it
  for (;;) {
    std::size_t used = 0, made = 0;
    const std::size_t left = (mixed_.size() - mixedStart_) / channels_;
    // A null input flushes the filter: before the end it is never null, even when there is none.
    const bool flushing = ended_ && left == 0;
    static const float kNoInput = 0.0f;
    const float* from = flushing ? nullptr : left > 0 ? in : &kNoInput;
    // Once made, soxr fails only for want of memory: that ends the stream (RecordStream::Entry).
    if (soxr_process(soxr_, from, left, &used, out + written * channels_, frames - written,
                     &made) != nullptr) {
      throw std::bad_alloc();
    }
    mixedStart_ += used * channels_;
    in += used * channels_;
    written += made;
    if (flushing && written < frames) {
      drained_ = true;
      return written;
    }
    if (written == frames || (used == 0 && made == 0)) return written;
  }
}

}  // namespace pulse
