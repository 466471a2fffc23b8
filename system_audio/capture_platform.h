// Everything corvane needs of the audio stack and of its process goes through CapturePlatform; its
// logic relies on nothing the comments here do not promise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/output_stream.h"
#include "common/platform_error.h"
#include "common/process_control.h"

namespace corvane {

using pcm::PlatformError;

class Display {
 public:
  virtual ~Display() = default;
  virtual uint32_t displayID() const = 0;
};

struct Window {
  uint32_t windowID = 0;
};

struct ShareableContent {
  // In the platform's order; possibly empty.
  std::vector<std::shared_ptr<const Display>> displays;
};

// Runs once, on any thread. An error decides, whatever the content.
using ShareableContentCompletion = std::function<void(
    std::shared_ptr<const ShareableContent> content, std::optional<PlatformError> error)>;

struct ContentFilter {
  std::shared_ptr<const Display> display;
  std::vector<Window> excludingWindows;
};

// value / timescale seconds.
struct CMTime {
  int64_t value = 0;
  int32_t timescale = 0;
  uint32_t flags = 0;  // kCMTimeFlagsValid when the time means anything
  int64_t epoch = 0;
};
inline constexpr uint32_t kCMTimeFlagsValid = 1;
inline CMTime CMTimeMake(int64_t value, int32_t timescale) {
  return CMTime{value, timescale, kCMTimeFlagsValid, 0};
}

class StreamConfiguration {
 public:
  virtual ~StreamConfiguration() = default;

  virtual void setWidth(std::size_t width) { width_ = width; }
  virtual void setHeight(std::size_t height) { height_ = height; }
  virtual void setMinimumFrameInterval(CMTime interval) { minimumFrameInterval_ = interval; }
  virtual void setCapturesAudio(bool captures) { capturesAudio_ = captures; }
  virtual void setSampleRate(int64_t rate) { sampleRate_ = rate; }
  virtual void setChannelCount(int64_t count) { channelCount_ = count; }
  virtual void setExcludesCurrentProcessAudio(bool excludes) {
    excludesCurrentProcessAudio_ = excludes;
  }

  std::size_t width() const { return width_; }
  std::size_t height() const { return height_; }
  CMTime minimumFrameInterval() const { return minimumFrameInterval_; }
  bool capturesAudio() const { return capturesAudio_; }
  int64_t sampleRate() const { return sampleRate_; }
  int64_t channelCount() const { return channelCount_; }
  bool excludesCurrentProcessAudio() const { return excludesCurrentProcessAudio_; }

 private:
  std::size_t width_ = 1920;
  std::size_t height_ = 1080;
  CMTime minimumFrameInterval_{};
  bool capturesAudio_ = false;
  int64_t sampleRate_ = 48000;
  int64_t channelCount_ = 2;
  bool excludesCurrentProcessAudio_ = false;
};

struct AudioStreamBasicDescription {
  double mSampleRate = 0.0;
  uint32_t mFormatFlags = 0;
  uint32_t mBytesPerFrame = 0;
  uint32_t mChannelsPerFrame = 0;
  uint32_t mBitsPerChannel = 0;
};
inline constexpr uint32_t kAudioFormatFlagIsFloat = 1;
inline constexpr uint32_t kAudioFormatFlagIsNonInterleaved = 32;

class BlockBuffer {
 public:
  virtual ~BlockBuffer() = default;
  virtual std::size_t dataLength() const = 0;
  // Returns 0, or a failure status after which `destination` holds what could be copied.
  virtual int32_t copyDataBytes(std::size_t offset, std::size_t length,
                                void* destination) const = 0;
  // Empty unless all the bytes lie in one piece of memory.
  virtual std::span<const std::byte> contiguousBytes() const { return {}; }
};

class FormatDescription {
 public:
  virtual ~FormatDescription() = default;
  // nullptr when the description is not an audio one.
  virtual const AudioStreamBasicDescription* streamBasicDescription() const = 0;
};

// Borrowed for one callback: nothing it hands out may be kept after the callback returns.
class SampleBuffer {
 public:
  virtual ~SampleBuffer() = default;
  // Either may be nullptr.
  virtual const BlockBuffer* dataBuffer() const = 0;
  virtual const FormatDescription* formatDescription() const = 0;
  // When the first sample is heard, on CLOCK_MONOTONIC; invalid when unknown.
  virtual CMTime presentationTimeStamp() const { return {}; }
  // Audio was lost since the buffer before, or this one comes from another output.
  virtual bool discontinuity() const { return false; }
};

enum class StreamOutputType : int64_t { screen = 0, audio = 1 };

class CaptureStream;

// Told on whichever thread the event happens.
class StreamDelegate {
 public:
  virtual ~StreamDelegate() = default;
  // At most once, and nothing follows.
  virtual void didStopWithError(CaptureStream& stream, const PlatformError& error) = 0;
  // Capture follows the default output, now the device so named.
  virtual void didSwitchOutput(CaptureStream& stream, const std::string& description) = 0;
  // The server dropped audio it held for this process (stopped, or starved).
  virtual void didLoseAudio(CaptureStream& stream, uint64_t milliseconds) = 0;
};

class StreamOutput {
 public:
  virtual ~StreamOutput() = default;
  virtual void didOutputSampleBuffer(CaptureStream& stream, const SampleBuffer& sampleBuffer,
                                     StreamOutputType type) = 0;
};

// Calls on one queue come one at a time, in order, so an output needs no lock of its own.
class DeliveryQueue {
 public:
  virtual ~DeliveryQueue() = default;
};

class CaptureStream {
 public:
  virtual ~CaptureStream() = default;
  // After success, buffers of `type` go to `output` on `queue`; both must outlive the stream.
  virtual std::optional<PlatformError> addStreamOutput(StreamOutput& output, StreamOutputType type,
                                                       DeliveryQueue& queue) = 0;
  // `completion` runs once, on any thread: no error once capture has begun, or why it could not.
  virtual void startCapture(std::function<void(std::optional<PlatformError> error)> completion) = 0;
};

using pcm::OutputStream;

class CapturePlatform {
 public:
  virtual ~CapturePlatform() = default;

  // `completion` runs once, on any thread, possibly before this returns.
  virtual void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                   ShareableContentCompletion completion) = 0;

  virtual std::unique_ptr<StreamConfiguration> makeStreamConfiguration() = 0;

  // `configuration` is read now, later changes are not seen; `delegate` must outlive the stream.
  virtual std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                                    const StreamConfiguration& configuration,
                                                    StreamDelegate& delegate) = 0;

  // Shared, of the highest priority; lives as long as the platform.
  virtual DeliveryQueue& sampleHandlerQueue() = 0;

  // Runs `task` soon on a thread other than the caller's; nothing waits for it.
  virtual void startDetachedTask(std::function<void()> task) = 0;

  virtual OutputStream& standardOutput() = 0;
  virtual pcm::ProcessControl& process() = 0;
};

}  // namespace corvane
