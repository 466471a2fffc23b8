// Several channels to one: their average. Each convert() asks for input at least once (so a caller
// that offers one buffer per call never has it ignored); what does not fit stays inside, so the
// samples do not depend on how the output is cut into buffers.
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
  // Measured in bench/converter_quality.cc: minimum phase keeps HQ's magnitude response, costs
  // speech nothing, and holds back about 6 ms less audio than linear phase (31 rather than 37 ms
  // from 48 kHz). velloc sizes its output from input totals, so the filter's lag stays as latency.
  static constexpr unsigned long kDefaultQuality = SOXR_HQ | SOXR_MINIMUM_PHASE;

  static std::unique_ptr<SoxrConverter> create(const velloc::AudioFormat& from,
                                               const velloc::AudioFormat& to,
                                               unsigned long quality = kDefaultQuality);
  ~SoxrConverter() override;

  velloc::ConverterOutputStatus convert(velloc::PcmBuffer& output,
                                        std::optional<velloc::PlatformError>& error,
                                        const velloc::ConverterInputBlock& input) override;
  void reset() override;

 private:
  SoxrConverter(const velloc::AudioFormat& from, const velloc::AudioFormat& to, soxr_t soxr);
  void mixDown(const velloc::PcmBuffer& buffer);
  // Returns the frames written; sets drained_ once the end has been flushed out whole.
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
