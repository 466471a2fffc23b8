// One rule for velloc's format descriptions, its converter and both tools' record streams.
#pragma once

#include <pulse/sample.h>

#include <cstdint>

#include "microphone/pcm_buffer.h"
#include "platform/pulse/result.h"

namespace pulse {

Result<pa_sample_spec> captureSpec(pa_sample_format_t format, double rate, uint32_t channels);

// Header only: corvane links nothing of velloc.
inline Result<pa_sample_spec> captureSpec(const velloc::AudioFormat& format) {
  const pa_sample_format_t sampleFormat =
      format.commonFormat == velloc::kCommonFormatFloat32 ? PA_SAMPLE_FLOAT32NE
      : format.commonFormat == velloc::kCommonFormatInt16 ? PA_SAMPLE_S16NE
                                                          : PA_SAMPLE_INVALID;
  return captureSpec(sampleFormat, format.sampleRate, format.channelCount);
}
inline bool capturable(const velloc::AudioFormat& format) {
  return static_cast<bool>(captureSpec(format));
}

}  // namespace pulse
