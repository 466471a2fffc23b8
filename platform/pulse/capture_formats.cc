#include "platform/pulse/capture_formats.h"

#include <pulse/def.h>
#include <pulse/error.h>

#include <cmath>

namespace pulse {

Result<pa_sample_spec> captureSpec(pa_sample_format_t format, double rate, uint32_t channels) {
  if ((format != PA_SAMPLE_FLOAT32NE && format != PA_SAMPLE_S16NE) || !(rate >= 1.0) ||
      rate > PA_RATE_MAX || rate != std::floor(rate) || channels < 1 ||
      channels > PA_CHANNELS_MAX) {
    return Error{pa_strerror(PA_ERR_INVALID)};
  }
  return pa_sample_spec{format, static_cast<uint32_t>(rate), static_cast<uint8_t>(channels)};
}

}  // namespace pulse
