#include "platform/pulse/soxr_converter.h"

#include <algorithm>
#include <cmath>

namespace pulse {
namespace {

using velloc::AudioFormat;
using velloc::ConverterInputStatus;
using velloc::ConverterOutputStatus;
using velloc::PcmBuffer;

constexpr uint32_t kMaxChannels = 64;

bool convertible(const AudioFormat& format) {
  return (format.commonFormat == velloc::kCommonFormatFloat32 ||
          format.commonFormat == velloc::kCommonFormatInt16) &&
         std::isfinite(format.sampleRate) && format.sampleRate > 0.0 && format.channelCount > 0 &&
         format.channelCount <= kMaxChannels;
}

bool sameLayout(const AudioFormat& a, const AudioFormat& b) {
  return a.commonFormat == b.commonFormat && a.channelCount == b.channelCount &&
         a.interleaved == b.interleaved;
}

// A resampling filter spreads one non-finite sample over many of its neighbours
// (and a NaN over a whole block), so those are limited the way the PCM rule
// would limit them before they enter the filter.
float finite(float sample) {
  if (std::isnan(sample)) return 1.0f;
  if (std::isinf(sample)) return sample > 0 ? 1.0f : -1.0f;
  return sample;
}

template <typename Sample>
float toFloat(Sample sample) {
  if constexpr (std::is_same_v<Sample, float>) {
    return finite(sample);
  } else {
    return static_cast<float>(sample) / 32768.0f;
  }
}

// Input channel `channel` of `buffer`, frame by frame, through `use(frame, value)`.
template <typename Sample, typename Use>
void forEachSample(const Sample* const* planes, const PcmBuffer& buffer, uint32_t channel,
                   Use use) {
  const uint32_t stride = buffer.stride();
  const Sample* base = buffer.format().interleaved ? planes[0] + channel : planes[channel];
  for (uint32_t frame = 0; frame < buffer.frameLength(); ++frame) {
    use(frame, toFloat(base[static_cast<std::size_t>(frame) * stride]));
  }
}

template <typename Sample>
void mix(const Sample* const* planes, const PcmBuffer& buffer, uint32_t outChannels,
         std::vector<float>& mixed) {
  const uint32_t inChannels = buffer.format().channelCount;
  mixed.assign(static_cast<std::size_t>(buffer.frameLength()) * outChannels, 0.0f);
  if (outChannels == inChannels) {
    for (uint32_t c = 0; c < inChannels; ++c) {
      forEachSample(planes, buffer, c, [&](uint32_t frame, float value) {
        mixed[static_cast<std::size_t>(frame) * outChannels + c] = value;
      });
    }
    return;
  }
  for (uint32_t c = 0; c < inChannels; ++c) {
    forEachSample(planes, buffer, c, [&](uint32_t frame, float value) { mixed[frame] += value; });
  }
  const float scale = 1.0f / static_cast<float>(inChannels);
  for (float& value : mixed) value *= scale;
}

int16_t toInt16(float value) {
  const float limited = std::clamp(value, -1.0f, 1.0f);
  return static_cast<int16_t>(std::lrint(limited * 32767.0f));
}

}  // namespace

std::unique_ptr<SoxrConverter> SoxrConverter::create(const AudioFormat& from, const AudioFormat& to,
                                                     unsigned long quality) {
  if (!convertible(from) || !convertible(to)) return nullptr;
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
  uint32_t written = 0;
  bool asked = false;
  for (;;) {
    written = emit(output, written);
    if (ended_ && pendingStart_ == pending_.size()) {
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
      finish();
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
    take(*buffer);
  }
  output.setFrameLength(written);
  return written == capacity ? ConverterOutputStatus::haveData : ConverterOutputStatus::inputRanDry;
}

void SoxrConverter::take(const PcmBuffer& buffer) {
  if (buffer.format().commonFormat == velloc::kCommonFormatFloat32) {
    mix(buffer.floatChannelData(), buffer, channels_, mixed_);
  } else {
    mix(buffer.int16ChannelData(), buffer, channels_, mixed_);
  }
  resample(mixed_.data(), buffer.frameLength());
}

void SoxrConverter::resample(const float* samples, std::size_t frames) {
  if (soxr_ == nullptr) {
    pending_.insert(pending_.end(), samples, samples + frames * channels_);
    return;
  }
  const double ratio = to_.sampleRate / from_.sampleRate;
  std::size_t consumed = 0;
  for (;;) {
    const std::size_t room =
        static_cast<std::size_t>(std::ceil(static_cast<double>(frames - consumed) * ratio)) + 512;
    const std::size_t old = pending_.size();
    pending_.resize(old + room * channels_);
    std::size_t used = 0, made = 0;
    soxr_process(soxr_, samples != nullptr ? samples + consumed * channels_ : nullptr,
                 frames - consumed, &used, pending_.data() + old, room, &made);
    pending_.resize(old + made * channels_);
    consumed += used;
    // Input is all taken and the filter had nothing more that fitted: done.
    if (consumed >= frames && made < room) return;
    if (used == 0 && made == 0) return;
  }
}

void SoxrConverter::finish() {
  ended_ = true;
  if (soxr_ != nullptr) resample(nullptr, 0);
}

uint32_t SoxrConverter::emit(PcmBuffer& output, uint32_t at) {
  const std::size_t available = (pending_.size() - pendingStart_) / channels_;
  const uint32_t count =
      static_cast<uint32_t>(std::min<std::size_t>(available, output.frameCapacity() - at));
  const float* source = pending_.data() + pendingStart_;
  const uint32_t stride = output.stride();
  for (uint32_t c = 0; c < channels_; ++c) {
    const std::size_t planeOffset = to_.interleaved ? c : 0;
    for (uint32_t f = 0; f < count; ++f) {
      const float value = source[static_cast<std::size_t>(f) * channels_ + c];
      const std::size_t index = static_cast<std::size_t>(at + f) * stride + planeOffset;
      if (to_.commonFormat == velloc::kCommonFormatFloat32) {
        output.floatChannelData()[to_.interleaved ? 0 : c][index] = value;
      } else {
        output.int16ChannelData()[to_.interleaved ? 0 : c][index] = toInt16(value);
      }
    }
  }
  pendingStart_ += static_cast<std::size_t>(count) * channels_;
  if (pendingStart_ == pending_.size()) {
    pending_.clear();
    pendingStart_ = 0;
  } else if (pendingStart_ * 2 > pending_.size()) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pendingStart_));
    pendingStart_ = 0;
  }
  return at + count;
}

}  // namespace pulse
