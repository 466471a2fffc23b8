// The contract between corvane's own logic and the platform it captures on.
//
// corvane asks a screen-capture service for the system's audio: it requests the
// shareable content (the displays), builds a content filter for one display, a
// stream configuration, and a stream that calls it back with sample buffers and
// with the news that it stopped. Everything it needs of the operating system goes
// through CapturePlatform; the logic relies on nothing the comments here do not
// promise. A backend implements every operation.
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

// ---- Shareable content ----------------------------------------------------------

// One display the platform can capture. Backends derive from it to keep what they
// need to capture it; the logic only passes it on.
class Display {
 public:
  virtual ~Display() = default;
  virtual uint32_t displayID() const = 0;
};

// A window that a content filter may leave out. corvane never excludes any.
struct Window {
  uint32_t windowID = 0;
};

struct ShareableContent {
  // In the platform's order; possibly empty.
  std::vector<std::shared_ptr<const Display>> displays;
};

// Runs once: with content and no error, or with an error (which then decides,
// whatever the content). Any thread.
using ShareableContentCompletion = std::function<void(
    std::shared_ptr<const ShareableContent> content, std::optional<PlatformError> error)>;

// What a stream captures: one whole display, less the windows listed.
struct ContentFilter {
  std::shared_ptr<const Display> display;
  std::vector<Window> excludingWindows;
};

// ---- Stream configuration -------------------------------------------------------

// A rational time: value / timescale seconds.
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

// Holds the stream's settings. Starts from the platform's defaults; every setter
// replaces one value. Backends may derive to watch the setters.
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

// ---- Sample buffers -------------------------------------------------------------

// The fields of a stream's audio format that corvane reads.
struct AudioStreamBasicDescription {
  double mSampleRate = 0.0;
  uint32_t mFormatFlags = 0;
  uint32_t mBytesPerFrame = 0;
  uint32_t mChannelsPerFrame = 0;
  uint32_t mBitsPerChannel = 0;
};
inline constexpr uint32_t kAudioFormatFlagIsFloat = 1;
inline constexpr uint32_t kAudioFormatFlagIsNonInterleaved = 32;

// The data bytes of a sample buffer; the storage need not be contiguous.
class BlockBuffer {
 public:
  virtual ~BlockBuffer() = default;
  virtual std::size_t dataLength() const = 0;
  // Copies `length` bytes starting at `offset`, in order, into `destination`.
  // Returns 0, or a failure status after which `destination` holds what could be
  // copied.
  virtual int32_t copyDataBytes(std::size_t offset, std::size_t length,
                                void* destination) const = 0;
  // All the bytes when they lie in one piece of memory, else none.
  virtual std::span<const std::byte> contiguousBytes() const { return {}; }
};

class FormatDescription {
 public:
  virtual ~FormatDescription() = default;
  // None when the description is not an audio one.
  virtual const AudioStreamBasicDescription* streamBasicDescription() const = 0;
};

// A buffer the stream delivers. Borrowed for one callback; nothing it hands out
// may be kept after the callback returns.
class SampleBuffer {
 public:
  virtual ~SampleBuffer() = default;
  // Either may be none.
  virtual const BlockBuffer* dataBuffer() const = 0;
  virtual const FormatDescription* formatDescription() const = 0;
  // When the first sample is heard, on CLOCK_MONOTONIC; invalid when unknown.
  virtual CMTime presentationTimeStamp() const { return {}; }
  // The samples do not follow on from the previous buffer's in time: audio was
  // lost in between, or they come from another output.
  virtual bool discontinuity() const { return false; }
};

// ---- The stream -----------------------------------------------------------------

enum class StreamOutputType : int64_t { screen = 0, audio = 1 };

class CaptureStream;

// Told what happens to the stream, on whichever thread it happens.
class StreamDelegate {
 public:
  virtual ~StreamDelegate() = default;
  // The stream stopped because of an error; at most once, and nothing follows.
  virtual void didStopWithError(CaptureStream& stream, const PlatformError& error) = 0;
  // Capture follows the default output and now comes from the device so named.
  virtual void didSwitchOutput(CaptureStream& stream, const std::string& description) = 0;
  // The server dropped audio it held for this process (stopped, or starved).
  virtual void didLoseAudio(CaptureStream& stream, uint64_t milliseconds) = 0;
};

// Receives the buffers of the output types it was added for.
class StreamOutput {
 public:
  virtual ~StreamOutput() = default;
  virtual void didOutputSampleBuffer(CaptureStream& stream, const SampleBuffer& sampleBuffer,
                                     StreamOutputType type) = 0;
};

// Where an output's callbacks run. Calls on one queue come one at a time, in the
// order the buffers were delivered, so an output needs no lock of its own.
class DeliveryQueue {
 public:
  virtual ~DeliveryQueue() = default;
};

class CaptureStream {
 public:
  virtual ~CaptureStream() = default;
  // After success, buffers of `type` go to `output` on `queue`. `output` and
  // `queue` must outlive the stream.
  virtual std::optional<PlatformError> addStreamOutput(StreamOutput& output, StreamOutputType type,
                                                       DeliveryQueue& queue) = 0;
  // `completion` runs once, any thread: with no error once capture has begun, or
  // with the reason it could not.
  virtual void startCapture(std::function<void(std::optional<PlatformError> error)> completion) = 0;
};

// ---- Standard output ------------------------------------------------------------

using pcm::OutputStream;

// ---- The platform ---------------------------------------------------------------

class CapturePlatform {
 public:
  virtual ~CapturePlatform() = default;

  // `completion` runs once, on any thread, possibly before this returns.
  virtual void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                   ShareableContentCompletion completion) = 0;

  // A configuration holding the platform's defaults.
  virtual std::unique_ptr<StreamConfiguration> makeStreamConfiguration() = 0;

  // A stream for `filter` with `configuration` (read now; later changes to it
  // are not seen). `delegate` must outlive the stream.
  virtual std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                                    const StreamConfiguration& configuration,
                                                    StreamDelegate& delegate) = 0;

  // The shared queue for sample handlers of the highest priority. Lives as long
  // as the platform.
  virtual DeliveryQueue& sampleHandlerQueue() = 0;

  // Runs `task` soon on a thread other than the caller's; nothing waits for it.
  virtual void startDetachedTask(std::function<void()> task) = 0;

  virtual OutputStream& standardOutput() = 0;
  virtual pcm::ProcessControl& process() = 0;
};

}  // namespace corvane
