// Feeds corvane's sample-buffer handler a run of arbitrary buffers: any data
// bytes, claimed lengths the storage cannot back, storage in pieces, any format
// flags, missing block, format or description, either output type, and a
// standard output that may fail. Besides the sanitizers' checks it asserts the
// byte path a reader relies on: the format line once before the first audio, and
// exactly the per-sample rule's bytes for float buffers (every whole 4-byte
// group, little-endian) or the bytes themselves otherwise, one write per buffer.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "common/sample_rule.h"
#include "system_audio/memory_sample_buffer.h"
#include "system_audio/system_audio_capturer.h"

namespace {

using namespace corvane;

class Reader {
 public:
  Reader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  uint8_t byte() { return empty() ? 0 : data_[at_++]; }
  uint32_t word() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = value << 8 | byte();
    return value;
  }
  std::vector<std::byte> bytes(std::size_t count) {
    count = std::min(count, size_ - at_);
    std::vector<std::byte> out(count);
    if (count > 0) std::memcpy(out.data(), data_ + at_, count);
    at_ += count;
    return out;
  }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

struct ProcessEnded {
  int status;
};

class RecordingProcess final : public pcm::ProcessControl {
 public:
  void writeDiagnostic(std::string_view text) override { standardError.append(text); }
  void installSignalHandlers(std::string_view, std::string_view) override {}
  void parkMainThread() override {}
  [[noreturn]] void exitProcess(int status) override { throw ProcessEnded{status}; }
  std::string standardError;
};

class RecordingOutput final : public pcm::OutputStream {
 public:
  int write(std::span<const std::byte> bytes) override {
    ++writes;
    if (failWith != 0) return failWith;
    received.insert(received.end(), bytes.begin(), bytes.end());
    return 0;
  }
  std::vector<std::byte> received;
  int writes = 0;
  int failWith = 0;
};

// Storage in pieces of `piece` bytes, of which only the first `held` exist
// although the buffer claims `claimed`; a copy past them fails after copying
// what it could.
class PiecewiseBlockBuffer final : public BlockBuffer {
 public:
  PiecewiseBlockBuffer(const std::vector<std::byte>& held, std::size_t claimed, std::size_t piece)
      : claimed_(claimed) {
    for (std::size_t at = 0; at < held.size(); at += piece) {
      pieces_.emplace_back(
          held.begin() + static_cast<std::ptrdiff_t>(at),
          held.begin() + static_cast<std::ptrdiff_t>(std::min(at + piece, held.size())));
    }
  }
  std::size_t dataLength() const override { return claimed_; }
  int32_t copyDataBytes(std::size_t offset, std::size_t length, void* destination) const override {
    auto* out = static_cast<std::byte*>(destination);
    std::size_t skip = offset, copied = 0;
    for (const auto& piece : pieces_) {
      if (copied == length) break;
      if (skip >= piece.size()) {
        skip -= piece.size();
        continue;
      }
      const std::size_t n = std::min(piece.size() - skip, length - copied);
      std::memcpy(out + copied, piece.data() + skip, n);
      copied += n;
      skip = 0;
    }
    return copied == length ? 0 : -12780;
  }

 private:
  std::size_t claimed_;
  std::vector<std::vector<std::byte>> pieces_;
};

class Buffer final : public SampleBuffer {
 public:
  Buffer(const BlockBuffer* block, const FormatDescription* format)
      : block_(block), format_(format) {}
  const BlockBuffer* dataBuffer() const override { return block_; }
  const FormatDescription* formatDescription() const override { return format_; }

 private:
  const BlockBuffer* block_;
  const FormatDescription* format_;
};

class UnusedStream final : public CaptureStream {
 public:
  std::optional<PlatformError> addStreamOutput(StreamOutput&, StreamOutputType,
                                               DeliveryQueue&) override {
    std::abort();
  }
  void startCapture(std::function<void(std::optional<PlatformError>)>) override { std::abort(); }
};

// Only the handler's needs: standard output and the process.
class HandlerOnlyPlatform final : public CapturePlatform {
 public:
  void getShareableContent(bool, bool, ShareableContentCompletion) override { std::abort(); }
  std::unique_ptr<StreamConfiguration> makeStreamConfiguration() override { std::abort(); }
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter&, const StreamConfiguration&,
                                            StreamDelegate&) override {
    std::abort();
  }
  DeliveryQueue& sampleHandlerQueue() override { return queue; }
  void startDetachedTask(std::function<void()>) override { std::abort(); }
  OutputStream& standardOutput() override { return output; }
  pcm::ProcessControl& process() override { return processControl; }

  DeliveryQueue queue;
  RecordingOutput output;
  RecordingProcess processControl;
};

void require(bool holds) {
  if (!holds) std::abort();
}

// What one buffer must add to standard output, by the rule and not by the encoder.
std::vector<std::byte> expectedBytes(const std::vector<std::byte>& data, bool isFloat) {
  if (!isFloat) return data;
  std::vector<std::byte> out;
  for (std::size_t at = 0; at + 4 <= data.size(); at += 4) {
    float sample;
    std::memcpy(&sample, data.data() + at, 4);
    const auto value = static_cast<uint16_t>(pcm::sampleFromFloat(sample));
    out.push_back(static_cast<std::byte>(value & 0xFF));
    out.push_back(static_cast<std::byte>(value >> 8));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  Reader in(data, size);
  HandlerOnlyPlatform platform;
  SystemAudioCapturer capturer(platform);
  UnusedStream stream;

  std::vector<std::byte> expected;
  std::string expectedError;
  int expectedWrites = 0;
  while (!in.empty()) {
    const uint8_t shape = in.byte();
    AudioStreamBasicDescription asbd;
    asbd.mFormatFlags = in.word();
    asbd.mChannelsPerFrame = in.byte();
    asbd.mBytesPerFrame = in.byte();
    asbd.mBitsPerChannel = in.byte();
    asbd.mSampleRate = static_cast<double>(in.word()) / 7.0;
    const std::size_t length = in.byte() | static_cast<std::size_t>(in.byte() & 0x3) << 8;
    const std::size_t missing = (shape & 0x40) ? in.byte() : 0;
    const std::size_t piece = 1 + in.byte() % 64;
    const auto held = in.bytes(length);

    const bool hasBlock = !(shape & 0x01), hasFormat = !(shape & 0x02);
    const bool hasDescription = !(shape & 0x04);
    const auto type =
        (shape & 0x08) ? static_cast<StreamOutputType>(in.byte() % 3) : StreamOutputType::audio;
    // A failing output ends the run, so only one buffer in four meets one.
    platform.output.failWith = (shape & 0xA0) == 0xA0 ? (shape & 0x10 ? ENOSPC : EIO) : 0;

    const PiecewiseBlockBuffer block(held, held.size() + missing, piece);
    const MemoryFormatDescription description(hasDescription ? std::optional(asbd) : std::nullopt);
    const Buffer buffer(hasBlock ? &block : nullptr, hasFormat ? &description : nullptr);

    bool ends = false;
    if (type == StreamOutputType::audio && hasBlock && hasFormat && hasDescription) {
      if (!capturer.loggedFormat) expectedError += streamFormatLine(asbd);
      std::vector<std::byte> whole = held;
      whole.resize(held.size() + missing);  // a failed copy leaves zeros
      const auto bytes = expectedBytes(whole, asbd.mFormatFlags & kAudioFormatFlagIsFloat);
      if (!bytes.empty()) {
        ++expectedWrites;
        if (platform.output.failWith != 0) {
          ends = true;
          expectedError += "FATAL: cannot write to stdout: " +
                           std::generic_category().message(platform.output.failWith) + "\n";
        } else {
          expected.insert(expected.end(), bytes.begin(), bytes.end());
        }
      }
    }

    std::optional<int> ended;
    try {
      capturer.didOutputSampleBuffer(stream, buffer, type);
    } catch (const ProcessEnded& end) {
      ended = end.status;
    }
    require(ended == (ends ? std::optional(1) : std::nullopt));
    require(platform.output.writes == expectedWrites);
    require(platform.output.received == expected);
    require(platform.processControl.standardError == expectedError);
    if (ended) break;
  }
  return 0;
}
