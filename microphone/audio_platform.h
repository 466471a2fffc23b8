// The contract between velloc's own logic and the platform it captures on.
//
// Everything velloc needs of the operating system's audio stack goes through
// MicrophonePlatform: the engine and its input node, the audio unit that binds
// the input to a device, format descriptions, the sample-rate and channel
// converter, PCM buffers, the device property queries, standard output and the
// process itself. A backend implements every operation; the logic relies on
// nothing the comments here do not promise.
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

// ---- Device property queries --------------------------------------------------
//
// The input stream configuration of a device is a buffer list: a count followed
// by that many buffer descriptions. The byte size a query reports is what the
// storage must hold; a size that cannot hold `mNumberBuffers` entries is the
// platform's mistake and the reader must not trust the count beyond it.
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

  // Byte size of the device list: 4 bytes per device identifier.
  virtual OSStatus deviceListDataSize(uint32_t& byteSize) = 0;
  // Reads at most `byteSize` bytes of identifiers into `devices`, in the
  // platform's order, and sets `byteSize` to the bytes written.
  virtual OSStatus readDeviceList(uint32_t& byteSize, AudioObjectID* devices) = 0;

  // Byte size of the device's input stream configuration (an AudioBufferList).
  virtual OSStatus inputStreamConfigurationDataSize(AudioObjectID device, uint32_t& byteSize) = 0;
  // Reads the configuration into `storage`, which holds `byteSize` bytes aligned
  // for AudioBufferList.
  virtual OSStatus readInputStreamConfiguration(AudioObjectID device, uint32_t& byteSize,
                                                void* storage) = 0;

  // The device's human name; `name` stays empty when the platform gives none.
  virtual OSStatus readDeviceName(AudioObjectID device, std::optional<std::string>& name) = 0;
};

// ---- Engine -------------------------------------------------------------------

// Binds the input to a device.
class AudioUnit {
 public:
  virtual ~AudioUnit() = default;
  // The current-device property (global scope, element 0); kNoErr means the
  // input now captures that device.
  virtual OSStatus setCurrentDevice(AudioObjectID device) = 0;
};

struct AudioTime {
  int64_t sampleTime = 0;
  double sampleRate = 0.0;
  // When the frame at sampleTime was captured, in CLOCK_MONOTONIC seconds; NaN
  // when the platform cannot tell.
  double hostTime = std::numeric_limits<double>::quiet_NaN();
  // The buffer does not follow on from the one before in time: audio was lost
  // in between, or it comes from another device.
  bool discontinuity = false;
};

// Called on the engine's own thread, once per delivered buffer, one call at a
// time and in order. The buffer is the platform's and only borrowed for the call.
using TapBlock = std::function<void(const PcmBuffer& buffer, const AudioTime& when)>;

class InputNode {
 public:
  virtual ~InputNode() = default;
  // The node's audio unit, or nullptr when it has none.
  virtual AudioUnit* audioUnit() = 0;
  // The format in which the input delivers audio on `bus`: its sample rate,
  // channel count and common format.
  virtual AudioFormat outputFormatForBus(uint32_t bus) = 0;
  // After the engine starts, `block` receives buffers of `bufferSize` frames in
  // `format`. Reports no result.
  virtual void installTap(uint32_t bus, uint32_t bufferSize, const AudioFormat& format,
                          TapBlock block) = 0;
};

class AudioEngine {
 public:
  virtual ~AudioEngine() = default;
  // Always present.
  virtual InputNode& inputNode() = 0;
  // Starts delivering tap buffers; an error means nothing will be delivered.
  virtual std::optional<PlatformError> start() = 0;
};

// ---- Converter ----------------------------------------------------------------

enum class ConverterInputStatus : int64_t { haveData = 0, noDataNow = 1, endOfStream = 2 };
enum class ConverterOutputStatus : int32_t {
  haveData = 0,
  inputRanDry = 1,
  endOfStream = 2,
  error = 3,
};

// Asked by the converter for more input, zero or more times within one convert
// call. Returns a buffer with status haveData, or nullptr with another status.
using ConverterInputBlock =
    std::function<const PcmBuffer*(uint32_t packetCount, ConverterInputStatus& status)>;

class AudioConverter {
 public:
  virtual ~AudioConverter() = default;
  // Synchronous. Fills `output` with at most its frame capacity and sets its
  // frameLength; audio the converter could not emit yet stays inside it for the
  // next call. May fill `error`.
  virtual ConverterOutputStatus convert(PcmBuffer& output, std::optional<PlatformError>& error,
                                        const ConverterInputBlock& input) = 0;
};

// ---- Standard output ----------------------------------------------------------

using pcm::OutputStream;

// ---- The platform -------------------------------------------------------------

// What happens to capture that the tool must hear of, told on whichever thread
// it happens on.
class EngineObserver {
 public:
  virtual ~EngineObserver() = default;
  // The audio server cannot be reached, or stopped answering; what is asked of
  // it from then on answers as if empty.
  virtual void serverUnreachable(const PlatformError& error) = 0;
  // The input stream ended for good (its device went away, the server died).
  virtual void engineFailed(const PlatformError& error) = 0;
  // Capture follows the default input and now comes from the device so named.
  virtual void inputChanged(const std::string& description) = 0;
  // The server dropped audio it held for this process (stopped, or starved).
  virtual void audioLost(uint64_t milliseconds) = 0;
};

class MicrophonePlatform {
 public:
  virtual ~MicrophonePlatform() = default;

  // Where events go; set before anything else is asked of the platform.
  virtual void observe(EngineObserver& observer) = 0;

  virtual std::unique_ptr<AudioEngine> makeEngine() = 0;
  virtual DeviceProperties& devices() = 0;

  // A format description, or none when the platform cannot describe it.
  virtual std::optional<AudioFormat> makeFormat(uint32_t commonFormat, double sampleRate,
                                                uint32_t channels, bool interleaved) = 0;
  // A converter with default settings (including its channel down-mix), or none.
  virtual std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                        const AudioFormat& to) = 0;
  // An empty buffer (frameLength 0), or none.
  virtual std::unique_ptr<PcmBuffer> makePcmBuffer(const AudioFormat& format,
                                                   uint32_t frameCapacity) = 0;

  virtual OutputStream& standardOutput() = 0;
  virtual pcm::ProcessControl& process() = 0;
};

}  // namespace velloc
