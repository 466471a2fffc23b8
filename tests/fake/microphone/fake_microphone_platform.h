// An in-memory MicrophonePlatform: every answer the tool can get from the real
// one can be arranged, and the calls that shape the capture are noted in the
// process transcript, beside the lines and bytes the tool writes.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "microphone/audio_platform.h"
#include "tests/fake/common/fake_process.h"

namespace velloc::fake {

using namespace pcm::fake;

// The platform's answer for an object it does not know.
inline constexpr OSStatus kBadObject = 560947818;  // '!obj'

struct FakeDevice {
  AudioObjectID id = 0;
  std::optional<std::string> name;     // nullopt: the platform gives no name
  std::vector<uint32_t> inputStreams;  // channels of each input stream; empty: output-only
  OSStatus configSizeStatus = kNoErr;
  std::optional<uint32_t> configSize;  // reported size instead of the true one
  OSStatus configReadStatus = kNoErr;
  std::optional<uint32_t> claimedBuffers;  // mNumberBuffers written instead of the true count
  OSStatus nameStatus = kNoErr;
};

// A device that answers every query; adjust the other fields afterwards.
FakeDevice makeDevice(AudioObjectID id, std::optional<std::string> name,
                      std::vector<uint32_t> inputStreams = {1});

// The device property queries, answering from a list of described devices.
class FakeDeviceProperties final : public DeviceProperties {
 public:
  OSStatus deviceListDataSize(uint32_t& byteSize) override;
  OSStatus readDeviceList(uint32_t& byteSize, AudioObjectID* devices) override;
  OSStatus inputStreamConfigurationDataSize(AudioObjectID device, uint32_t& byteSize) override;
  OSStatus readInputStreamConfiguration(AudioObjectID device, uint32_t& byteSize,
                                        void* storage) override;
  OSStatus readDeviceName(AudioObjectID device, std::optional<std::string>& name) override;

  std::vector<FakeDevice> list;
  OSStatus listSizeStatus = kNoErr;
  std::optional<uint32_t> listSize;  // reported size instead of 4 per device
  OSStatus listReadStatus = kNoErr;
  std::optional<std::size_t> listReadEntries;  // write only this many identifiers

 private:
  // The device, or none with `status` set to why the query fails.
  const FakeDevice* find(AudioObjectID id, OSStatus FakeDevice::*failure, OSStatus& status) const;
};

// Two converters: one that follows a script, for the protocol around a convert
// call, and one that behaves like a real resampler, for what happens over many.
class ScriptedConverter final : public AudioConverter {
 public:
  ConverterOutputStatus convert(PcmBuffer& output, std::optional<PlatformError>& error,
                                const ConverterInputBlock& input) override;

  using Answers = std::vector<std::pair<ConverterInputStatus, const PcmBuffer*>>;
  int inputRequests = 1;  // times each convert call asks for input
  std::optional<PlatformError> error;
  ConverterOutputStatus status = ConverterOutputStatus::haveData;
  std::optional<uint32_t> framesToEmit;  // default: the output's whole capacity
  std::vector<uint32_t> capacities;      // of each call's output buffer
  std::vector<Answers> answers;          // the input block's, in each call
};

// Point-sampling rate converter with a fixed look-ahead: output frame m is input
// frame sourceIndex(m), emitted only once kHoldBack further input frames have
// arrived. Input it cannot emit yet stays queued for later calls; it never emits
// more than the output's capacity, and asks for input whenever it could emit
// more, until it is told there is none.
class ResamplingConverter final : public AudioConverter {
 public:
  static constexpr uint64_t kHoldBack = 16;
  ResamplingConverter(double inRate, double outRate);
  ConverterOutputStatus convert(PcmBuffer& output, std::optional<PlatformError>& error,
                                const ConverterInputBlock& input) override;

  uint64_t sourceIndex(uint64_t outputFrame) const { return outputFrame * inRate_ / outRate_; }
  // Input frames received but not yet used by an emitted frame.
  uint64_t heldInputFrames() const { return received_ - sourceIndex(emitted_); }
  uint64_t emittedFrames() const { return emitted_; }

 private:
  uint64_t inRate_, outRate_;
  uint64_t received_ = 0, emitted_ = 0;
  uint64_t queueStart_ = 0;  // input index of queue_.front()
  std::deque<float> queue_;
};

// "float32 48000.0Hz 2ch", with " interleaved" when it is.
std::string describe(const AudioFormat& format);

// Also the one engine, its input node and audio unit.
class FakeMicrophonePlatform final : public MicrophonePlatform,
                                     public AudioEngine,
                                     public InputNode,
                                     public AudioUnit {
 public:
  std::unique_ptr<AudioEngine> makeEngine() override;
  DeviceProperties& devices() override { return deviceProperties; }
  std::optional<AudioFormat> makeFormat(uint32_t commonFormat, double sampleRate, uint32_t channels,
                                        bool interleaved) override;
  std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                const AudioFormat& to) override;
  std::unique_ptr<PcmBuffer> makePcmBuffer(const AudioFormat& format, uint32_t capacity) override {
    return pcmBuffersFail ? nullptr : std::make_unique<PcmBuffer>(format, capacity);
  }
  OutputStream& standardOutput() override { return processControl; }
  pcm::ProcessControl& process() override { return processControl; }

  InputNode& inputNode() override { return *this; }
  std::optional<PlatformError> start() override;
  AudioUnit* audioUnit() override { return hasAudioUnit ? this : nullptr; }
  AudioFormat outputFormatForBus(uint32_t bus) override {
    return bus == 0 ? nativeFormat : AudioFormat{};
  }
  void installTap(uint32_t bus, uint32_t bufferSize, const AudioFormat& format,
                  TapBlock block) override;
  OSStatus setCurrentDevice(AudioObjectID device) override;

  // Hands `buffer` to the installed tap, as the engine thread would.
  void deliver(const PcmBuffer& buffer) { tap(buffer, AudioTime{}); }

  FakeDeviceProperties deviceProperties;
  FakeProcess processControl;
  AudioFormat nativeFormat{kCommonFormatFloat32, 48000.0, 2, false};
  bool hasAudioUnit = true;
  OSStatus bindStatus = kNoErr;
  std::optional<PlatformError> startError;
  int failingFormatCall = -1;  // 0-based index of the makeFormat call that returns none
  bool converterFails = false;
  bool pcmBuffersFail = false;
  TapBlock tap;

 private:
  int formatCalls_ = 0;
};

// A full float buffer holding `samples`: plane after plane, or frame after
// frame when interleaved.
std::unique_ptr<PcmBuffer> makeFloatBuffer(double sampleRate, const std::vector<float>& samples,
                                           uint32_t channels = 1, bool interleaved = false);
inline std::unique_ptr<PcmBuffer> makeMonoBuffer(double sampleRate, uint32_t frames,
                                                 float value = 0.0f) {
  return makeFloatBuffer(sampleRate, std::vector<float>(frames, value));
}

}  // namespace velloc::fake
