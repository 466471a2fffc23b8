// Two converters: one that follows a script, for the protocol around a convert
// call, and one that behaves like a real resampler, for what happens over many.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "microphone/audio_platform.h"

namespace velloc::fake {

struct ConverterScript {
  int inputRequests = 1;  // times each convert call asks for input
  std::optional<PlatformError> error;
  ConverterOutputStatus status = ConverterOutputStatus::haveData;
  std::optional<uint32_t> framesToEmit;  // default: the output's whole capacity
  float sample = 0.5f;                   // value of every emitted frame
};

class ScriptedConverter final : public AudioConverter {
 public:
  explicit ScriptedConverter(ConverterScript script = {}) : script(std::move(script)) {}
  ConverterOutputStatus convert(PcmBuffer& output, std::optional<PlatformError>& error,
                                const ConverterInputBlock& input) override;

  struct Answer {
    ConverterInputStatus status;
    const PcmBuffer* buffer;
  };
  struct Call {
    uint32_t capacity;
    std::vector<Answer> answers;
  };
  ConverterScript script;
  std::vector<Call> calls;
};

// Point-sampling rate converter with a fixed look-ahead: output frame m is input
// frame floor(m * inRate / outRate), and it is emitted only once `holdBack`
// further input frames have arrived. Input it cannot emit yet stays queued for
// later calls; it never emits more than the output's capacity, and it asks for
// input until it could fill the output or is told there is none.
class ResamplingConverter final : public AudioConverter {
 public:
  ResamplingConverter(const AudioFormat& from, const AudioFormat& to, uint64_t holdBack = 16);
  ConverterOutputStatus convert(PcmBuffer& output, std::optional<PlatformError>& error,
                                const ConverterInputBlock& input) override;

  // Input frames received but not yet consumed by an emitted frame.
  uint64_t heldInputFrames() const { return inputFrames_ - sourceIndex(outputFrames_); }
  uint64_t inputFrames() const { return inputFrames_; }
  uint64_t outputFrames() const { return outputFrames_; }
  int convertCalls = 0;

 private:
  uint64_t sourceIndex(uint64_t outputFrame) const { return outputFrame * inRate_ / outRate_; }
  uint64_t emittable() const;
  void take(const PcmBuffer& buffer);

  uint64_t inRate_;
  uint64_t outRate_;
  uint64_t holdBack_;
  bool usable_;
  uint64_t inputFrames_ = 0;
  uint64_t outputFrames_ = 0;
  uint64_t queueStart_ = 0;  // input index of queue_.front()
  std::deque<float> queue_;
};

}  // namespace velloc::fake
