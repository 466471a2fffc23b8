#include "platform/pulse/pulse_capture_stream.h"

#include <pulse/error.h>

#include <cmath>

#include "platform/pulse/capture_formats.h"
#include "system_audio/memory_sample_buffer.h"

namespace pulse {

PulseCaptureStream::PulseCaptureStream(PulseConnection& connection, std::string monitorSourceName,
                                       const corvane::StreamConfiguration& configuration,
                                       corvane::StreamDelegate& delegate)
    : connection_(connection),
      monitorSourceName_(std::move(monitorSourceName)),
      sampleRate_(static_cast<uint32_t>(configuration.sampleRate())),
      channels_(static_cast<uint32_t>(configuration.channelCount())),
      delegate_(delegate) {
  // The video settings mean nothing here. Leaving out this process's own audio needs no work
  // either: corvane plays nothing.
}

std::optional<corvane::PlatformError> PulseCaptureStream::addStreamOutput(
    corvane::StreamOutput& output, corvane::StreamOutputType type, corvane::DeliveryQueue&) {
  if (recorder_) return corvane::PlatformError{"The stream is already capturing"};
  // The recorder's one delivery thread keeps the queue's promise of one buffer at a time, in order.
  if (type == corvane::StreamOutputType::audio) audioOutputs_.push_back(&output);
  return std::nullopt;
}

void PulseCaptureStream::startCapture(
    std::function<void(std::optional<corvane::PlatformError>)> completion) {
  if (recorder_) {
    completion(corvane::PlatformError{"The stream is already capturing"});
    return;
  }
  // The server resamples and mixes the monitor down to what was asked for.
  const auto spec = captureSpec(PA_SAMPLE_FLOAT32NE, sampleRate_, channels_);
  RecordStream::Config config;
  config.streamName = "system audio capture";
  config.sourceName = monitorSourceName_;
  config.framesPerBlock = sampleRate_ * kDeliveryMilliseconds / 1000;
  if (!spec || config.framesPerBlock == 0) {
    completion(corvane::PlatformError{pa_strerror(PA_ERR_INVALID)});
    return;
  }
  config.sampleSpec = *spec;
  config.follow = RecordStream::Config::Follow::defaultOutput;

  recorder_ = std::make_unique<RecordStream>(
      connection_, config,
      [this](std::span<std::byte> block, uint64_t, double heardAt, bool discontinuity) {
        deliver(block, heardAt, discontinuity);
      },
      [this](const Error& error) {
        delegate_.didStopWithError(*this, corvane::PlatformError{error.reason});
      },
      [this](const std::string& description) { delegate_.didSwitchOutput(*this, description); },
      [this](uint64_t milliseconds) { delegate_.didLoseAudio(*this, milliseconds); });
  if (auto started = recorder_->start(); !started) {
    completion(corvane::PlatformError{started.error().reason});
    return;
  }
  completion(std::nullopt);
}

void PulseCaptureStream::deliver(std::span<const std::byte> block, double heardAt,
                                 bool discontinuity) {
  const corvane::AudioStreamBasicDescription description{static_cast<double>(sampleRate_),
                                                         corvane::kAudioFormatFlagIsFloat,
                                                         4 * channels_, channels_, 32};
  const corvane::MemorySampleBuffer buffer{
      corvane::MemoryBlockBuffer(block), corvane::MemoryFormatDescription(description),
      std::isfinite(heardAt) ? corvane::CMTimeMake(std::llround(heardAt * 1e9), 1'000'000'000)
                             : corvane::CMTime{},
      discontinuity};
  for (corvane::StreamOutput* output : audioOutputs_) {
    output->didOutputSampleBuffer(*this, buffer, corvane::StreamOutputType::audio);
  }
}

}  // namespace pulse
