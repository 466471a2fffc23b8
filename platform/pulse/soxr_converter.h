// The sample-rate and channel converter behind MicrophonePlatform::makeConverter.
//
// How to use it: create it from the input and output formats, then call
// convert() with an output buffer and a callback that hands over input buffers.
// Input is read as the server delivers it: interleaved frames (16-bit or float)
// at any rate the server has; several channels are averaged with equal weight
// when the output has one. The output is float. Each call asks its callback for
// input at least once (so a caller that offers one buffer per call never has it
// ignored) and keeps asking while the output buffer has room. Whatever does not
// fit stays inside for the next call, so the sequence of samples does not
// depend on how the output is cut into buffers.
#pragma once

#include <soxr.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "microphone/audio_platform.h"

namespace pulse {

class SoxrConverter final : public velloc::AudioConverter {
 public:
  // The quality chosen by measurement: see bench/converter_quality.cc. Minimum
  // phase keeps HQ's magnitude response (THD+N, alias rejection, the 7 kHz
  // gain) but holds back about 6 ms less audio than linear phase (31 rather
  // than 37 ms from 48 kHz, 34 rather than 40 ms from 44.1 kHz): velloc's
  // output is sized from input totals, so the most the filter ever lags stays
  // as latency for the rest of the capture. Speech loses nothing by the
  // phase change.
  static constexpr unsigned long kDefaultQuality = SOXR_HQ | SOXR_MINIMUM_PHASE;

  // None unless both formats are ones the layer captures, each lies in one run
  // of frames (interleaved, or a single channel), the output is float, and it
  // has one channel or as many as the input.
  static std::unique_ptr<SoxrConverter> create(const velloc::AudioFormat& from,
                                               const velloc::AudioFormat& to,
                                               unsigned long quality = kDefaultQuality);
  ~SoxrConverter() override;

  velloc::ConverterOutputStatus convert(velloc::PcmBuffer& output,
                                        std::optional<velloc::PlatformError>& error,
                                        const velloc::ConverterInputBlock& input) override;

 private:
  SoxrConverter(const velloc::AudioFormat& from, const velloc::AudioFormat& to, soxr_t soxr);
  // Appends the buffer's frames, at the output's channel count, to the input
  // not yet resampled.
  void mixDown(const velloc::PcmBuffer& buffer);
  // Resamples what input there is into `out` (room for `frames`); returns the
  // frames written. Sets drained_ once the end has been flushed out whole.
  std::size_t resample(float* out, std::size_t frames);

  velloc::AudioFormat from_;
  velloc::AudioFormat to_;
  soxr_t soxr_;  // null when the rates are equal: nothing to resample
  uint32_t channels_;
  bool ended_ = false;        // told there is no more input
  bool drained_ = false;      // and everything has been emitted since
  std::vector<float> mixed_;  // input at the output's channel count, not yet resampled
  std::size_t mixedStart_ = 0;
};

}  // namespace pulse
