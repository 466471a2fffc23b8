// Everything velloc needs of the audio stack and of its process goes through MicrophonePlatform;
// its logic relies on nothing the comments here do not promise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "common/output_stream.h"
#include "common/platform_error.h"
#include "common/process_control.h"
#include "microphone/pcm_buffer.h"

namespace velloc {

using OSStatus = int32_t;  // 0 is success; anything else is the platform's failure code
inline constexpr OSStatus kNoErr = 0;
using AudioObjectID = uint32_t;

using pcm::PlatformError;

// A device's input stream configuration. A reported byte size too small for `mNumberBuffers`
// entries is the platform's mistake: the reader trusts the count no further.
struct AudioBuffer {
  uint32_t mNumberChannels;
  uint32_t mDataByteSize;
  void* mData;
};
struct AudioBufferList {
  uint32_t mNumberBuffers;
  AudioBuffer mBuffers[1];  // really mNumberBuffers entries
};

class DeviceProperties {
 public:
  virtual ~DeviceProperties() = default;

  virtual OSStatus deviceListDataSize(uint32_t& byteSize) = 0;
  // At most `byteSize` bytes, in the platform's order; `byteSize` becomes the bytes written.
  virtual OSStatus readDeviceList(uint32_t& byteSize, AudioObjectID* devices) = 0;

  virtual OSStatus inputStreamConfigurationDataSize(AudioObjectID device, uint32_t& byteSize) = 0;
  // `storage` holds `byteSize` bytes aligned for AudioBufferList.
  virtual OSStatus readInputStreamConfiguration(AudioObjectID device, uint32_t& byteSize,
                                                void* storage) = 0;

  // `name` stays empty when the platform gives none.
  virtual OSStatus readDeviceName(AudioObjectID device, std::optional<std::string>& name) = 0;
};

class AudioUnit {
 public:
  virtual ~AudioUnit() = default;
  // kNoErr means the input now captures `device`.
  virtual OSStatus setCurrentDevice(AudioObjectID device) = 0;
};

struct AudioTime {
  int64_t sampleTime = 0;
  double sampleRate = 0.0;
  // When the frame at sampleTime was captured, CLOCK_MONOTONIC seconds; NaN: unknown.
  double hostTime = std::numeric_limits<double>::quiet_NaN();
  // Audio was lost since the buffer before, or this one comes from another device.
  bool discontinuity = false;
};

// On the engine's own thread, one call at a time, in order. The buffer is borrowed for the call.
using TapBlock = std::function<void(const PcmBuffer& buffer, const AudioTime& when)>;

class InputNode {
 public:
  virtual ~InputNode() = default;
  // nullptr when the node has none.
  virtual AudioUnit* audioUnit() = 0;
  virtual AudioFormat outputFormatForBus(uint32_t bus) = 0;
  virtual void installTap(uint32_t bus, uint32_t bufferSize, const AudioFormat& format,
                          TapBlock block) = 0;
};

class AudioEngine {
 public:
  virtual ~AudioEngine() = default;
  virtual InputNode& inputNode() = 0;
  // An error means no tap buffer will come.
  virtual std::optional<PlatformError> start() = 0;
};

enum class ConverterInputStatus : int64_t { haveData = 0, noDataNow = 1, endOfStream = 2 };
enum class ConverterOutputStatus : int32_t {
  haveData = 0,
  inputRanDry = 1,
  endOfStream = 2,
  error = 3,
};

// Asked zero or more times within one convert call. A buffer comes with haveData, nullptr without.
using ConverterInputBlock =
    std::function<const PcmBuffer*(uint32_t packetCount, ConverterInputStatus& status)>;

class AudioConverter {
 public:
  virtual ~AudioConverter() = default;
  // Synchronous. Fills at most `output`'s frame capacity; audio it could not emit yet stays inside
  // it for the next call.
  virtual ConverterOutputStatus convert(PcmBuffer& output, std::optional<PlatformError>& error,
                                        const ConverterInputBlock& input) = 0;
  // Forgets what it holds, as for a new stream; after an end of input, it takes input again.
  virtual void reset() = 0;
};

using pcm::OutputStream;

// Told on whichever thread the event happens.
class EngineObserver {
 public:
  virtual ~EngineObserver() = default;
  // What is asked of the server from then on answers as if empty.
  virtual void serverUnreachable(const PlatformError& error) = 0;
  // For good: the device went away, or the server died.
  virtual void engineFailed(const PlatformError& error) = 0;
  // Capture follows the default input, now the device so named.
  virtual void inputChanged(const std::string& description) = 0;
  // The server dropped audio it held for this process (stopped, or starved).
  virtual void audioLost(uint64_t milliseconds) = 0;
};

class MicrophonePlatform {
 public:
  virtual ~MicrophonePlatform() = default;

  // Before anything else is asked of the platform.
  virtual void observe(EngineObserver& observer) = 0;

  virtual std::unique_ptr<AudioEngine> makeEngine() = 0;
  virtual DeviceProperties& devices() = 0;

  virtual std::optional<AudioFormat> makeFormat(uint32_t commonFormat, double sampleRate,
                                                uint32_t channels, bool interleaved) = 0;
  // Default settings, its channel down-mix included.
  virtual std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                        const AudioFormat& to) = 0;
  virtual std::unique_ptr<PcmBuffer> makePcmBuffer(const AudioFormat& format,
                                                   uint32_t frameCapacity) = 0;

  virtual OutputStream& standardOutput() = 0;
  virtual pcm::ProcessControl& process() = 0;
};

}  // namespace velloc
