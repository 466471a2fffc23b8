#include "platform/pulse/pulse_engine.h"

#include <cmath>
#include <cstring>

#include "platform/pulse/platform_status.h"

namespace pulse {
namespace {

constexpr velloc::AudioFormat kNoFormat{velloc::kCommonFormatFloat32, 0.0, 0, false};

velloc::AudioFormat nativeFormatOf(const SourceInfo& source) {
  return {velloc::kCommonFormatFloat32, static_cast<double>(source.sampleSpec.rate),
          source.sampleSpec.channels, false};
}

template <typename Sample>
void spread(std::span<const std::byte> block, Sample* const* planes, const velloc::PcmBuffer& buf,
            uint32_t frames) {
  const uint32_t channels = buf.format().channelCount;
  if (buf.format().interleaved) {
    std::memcpy(planes[0], block.data(),
                static_cast<std::size_t>(frames) * channels * sizeof(Sample));
    return;
  }
  for (uint32_t f = 0; f < frames; ++f) {
    for (uint32_t c = 0; c < channels; ++c) {
      std::memcpy(&planes[c][f],
                  block.data() + (static_cast<std::size_t>(f) * channels + c) * sizeof(Sample),
                  sizeof(Sample));
    }
  }
}

}  // namespace

void fillFromInterleaved(std::span<const std::byte> block, velloc::PcmBuffer& buffer) {
  const auto& format = buffer.format();
  const bool isFloat = format.commonFormat == velloc::kCommonFormatFloat32;
  const std::size_t frameBytes = format.channelCount * (isFloat ? sizeof(float) : sizeof(int16_t));
  if (frameBytes == 0) return;
  const uint32_t frames = static_cast<uint32_t>(
      std::min<std::size_t>(block.size() / frameBytes, buffer.frameCapacity()));
  if (isFloat) {
    spread(block, buffer.floatChannelData(), buffer, frames);
  } else {
    spread(block, buffer.int16ChannelData(), buffer, frames);
  }
  buffer.setFrameLength(frames);
}

velloc::OSStatus PulseAudioUnit::setCurrentDevice(velloc::AudioObjectID device) {
  PulseConnection* connection = link_.connection();
  if (connection == nullptr) return kStatusNoServer;
  auto held = connection->lock();
  auto source = sourceByIndex(*connection, device);
  if (!source.value) return connection->alive() ? kStatusInvalidDevice : kStatusServerError;
  bound_ = std::move(source.value);
  return velloc::kNoErr;
}

velloc::AudioFormat PulseInputNode::outputFormatForBus(uint32_t bus) {
  PulseConnection* connection = link_.connection();
  if (bus != 0 || connection == nullptr) return kNoFormat;
  auto held = connection->lock();
  if (const auto& bound = unit_.boundSource()) {
    // Read again: the source may have changed its format since it was bound.
    auto fresh = sourceByIndex(*connection, bound->index);
    return fresh.value ? nativeFormatOf(*fresh.value) : kNoFormat;
  }
  auto server = queryServer(*connection);
  if (!server.value || server.value->defaultSourceName.empty()) return kNoFormat;
  auto source = sourceByName(*connection, server.value->defaultSourceName);
  if (!source.value) return kNoFormat;
  defaultSource_ = source.value;
  return nativeFormatOf(*source.value);
}

void PulseInputNode::installTap(uint32_t bus, uint32_t bufferSize,
                                const velloc::AudioFormat& format, velloc::TapBlock block) {
  if (bus != 0) return;
  tap_ = Tap{bufferSize, format, std::move(block)};
}

std::optional<SourceInfo> PulseInputNode::captureSource() const {
  if (unit_.boundSource()) return unit_.boundSource();
  return defaultSource_;
}

PulseAudioEngine::~PulseAudioEngine() { stream_.reset(); }

std::optional<velloc::PlatformError> PulseAudioEngine::start() {
  PulseConnection* connection = link_.connection();
  if (connection == nullptr) return velloc::PlatformError{"audio server unreachable"};
  if (stream_) return velloc::PlatformError{"the engine is already running"};
  const auto& tap = input_.tap();
  if (!tap) return std::nullopt;  // nothing asked for, nothing to deliver

  const velloc::AudioFormat& format = tap->format;
  const bool isFloat = format.commonFormat == velloc::kCommonFormatFloat32;
  if (!isFloat && format.commonFormat != velloc::kCommonFormatInt16) {
    return velloc::PlatformError{"the tap's sample format is not supported"};
  }
  if (!(format.sampleRate >= 1.0 && format.sampleRate <= PA_RATE_MAX) ||
      format.sampleRate != std::floor(format.sampleRate) || format.channelCount == 0 ||
      format.channelCount > PA_CHANNELS_MAX || tap->bufferSize == 0) {
    return velloc::PlatformError{"the tap's format or buffer size is not supported"};
  }

  RecordStream::Config config;
  config.streamName = "microphone capture";
  config.sampleSpec = {isFloat ? PA_SAMPLE_FLOAT32NE : PA_SAMPLE_S16NE,
                       static_cast<uint32_t>(format.sampleRate),
                       static_cast<uint8_t>(format.channelCount)};
  config.framesPerBlock = tap->bufferSize;
  if (const auto source = input_.captureSource()) {
    config.sourceName = source->name;
    // The source's own channel order keeps the server from remixing; a tap with
    // another channel count leaves the mix to the server.
    if (source->sampleSpec.channels == format.channelCount) config.channelMap = source->channelMap;
  }
  tapBuffer_ = std::make_unique<velloc::PcmBuffer>(format, tap->bufferSize);
  stream_ = std::make_unique<RecordStream>(
      *connection, config,
      [this](std::span<const std::byte> block, uint64_t firstFrame) { deliver(block, firstFrame); },
      [this](const std::string& reason) {
        process_.writeDiagnostic("[tamsel] FATAL: audio stream failed: " + reason + "\n");
        process_.exitProcess(1);
      });
  if (auto refused = stream_->start()) {
    stream_.reset();
    return velloc::PlatformError{*refused};
  }
  return std::nullopt;
}

void PulseAudioEngine::deliver(std::span<const std::byte> block, uint64_t firstFrame) {
  fillFromInterleaved(block, *tapBuffer_);
  const velloc::AudioTime when{static_cast<int64_t>(firstFrame), input_.tap()->format.sampleRate};
  input_.tap()->block(*tapBuffer_, when);
}

}  // namespace pulse
