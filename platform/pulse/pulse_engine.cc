#include "platform/pulse/pulse_engine.h"

#include <pulse/def.h>
#include <pulse/error.h>

#include "platform/pulse/capture_formats.h"
#include "platform/pulse/platform_status.h"

namespace pulse {

velloc::OSStatus PulseAudioUnit::setCurrentDevice(velloc::AudioObjectID device) {
  return readInto(bound_, link_, kStatusInvalidDevice,
                  [device](PulseConnection& server) { return sourceByIndex(server, device); });
}

velloc::AudioFormat PulseInputNode::outputFormatForBus(uint32_t bus) {
  const auto source = nativeSource(bus);
  // Without one the format is degenerate (no rate, no channels): velloc says so and ends.
  if (!source) return {velloc::kCommonFormatFloat32, 0.0, 0, true};
  return {velloc::kCommonFormatFloat32, static_cast<double>(source->sampleSpec.rate),
          source->sampleSpec.channels, true};
}

Result<SourceInfo> PulseInputNode::nativeSource(uint32_t bus) {
  if (bus != 0) return Error{pa_strerror(PA_ERR_NOENTITY)};
  return link_.query([this](PulseConnection& server) -> Result<SourceInfo> {
    // Read again: the source may have changed its format since it was bound.
    if (const auto& bound = unit_.boundSource()) return sourceByIndex(server, bound->index);
    auto info = queryServer(server);
    if (!info) return info.error();
    if (info->defaultSourceName.empty()) return Error{pa_strerror(PA_ERR_NOENTITY)};
    auto source = sourceByName(server, info->defaultSourceName);
    if (source) defaultSource_ = *source;
    return source;
  });
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

std::optional<velloc::PlatformError> PulseAudioEngine::start() {
  auto connection = link_.connection();
  if (!connection) return velloc::PlatformError{"audio server unreachable"};
  if (stream_) return velloc::PlatformError{"the engine is already running"};
  const auto& tap = input_.tap();
  if (!tap) return std::nullopt;  // nothing asked for, nothing to deliver

  const auto spec = captureSpec(tap->format);
  if (!spec || tap->bufferSize == 0) {
    return velloc::PlatformError{"the tap's format or buffer size is not supported"};
  }
  RecordStream::Config config;
  config.streamName = "microphone capture";
  config.sampleSpec = *spec;
  config.framesPerBlock = tap->bufferSize;
  if (const auto source = input_.captureSource()) {
    config.sourceName = source->name;
    // A tap with another channel count leaves the mix to the server.
    if (source->sampleSpec.channels == spec->channels) config.channelMap = source->channelMap;
  }
  if (!input_.boundSource()) config.follow = RecordStream::Config::Follow::defaultSource;
  stream_ = std::make_unique<RecordStream>(
      **connection, config,
      [this](std::span<std::byte> block, uint64_t firstFrame, double capturedAt,
             bool discontinuity) {
        tapBuffer_->setFrameLength(static_cast<uint32_t>(
            block.size() * tapBuffer_->frameCapacity() / stream_->block().size()));
        input_.tap()->block(*tapBuffer_,
                            {static_cast<int64_t>(firstFrame), input_.tap()->format.sampleRate,
                             capturedAt, discontinuity});
      },
      [this](const Error& error) { observer_.engineFailed({error.reason}); },
      [this](const std::string& description) { observer_.inputChanged(description); },
      [this](uint64_t milliseconds) { observer_.audioLost(milliseconds); });
  // Lent before anything is delivered; several channels arrive interleaved, whatever the tap says.
  velloc::AudioFormat delivered = tap->format;
  if (delivered.channelCount > 1) delivered.interleaved = true;
  tapBuffer_ = std::make_unique<velloc::PcmBuffer>(delivered, stream_->block());
  if (auto started = stream_->start(); !started) {
    stream_.reset();
    return velloc::PlatformError{started.error().reason};
  }
  return std::nullopt;
}

}  // namespace pulse
