// A run of arbitrary buffers through corvane's sample handler: any data bytes,
// any format flags, a missing block, format or description, any output type.
// Besides the sanitizers' checks it
// asserts the byte path a reader relies on: the format line once before the
// first audio, then for each buffer one write of the rule's bytes for every
// whole 4-byte float group (the first followed by the sample-0 line), or of the
// bytes themselves when not float.
#include <cstdlib>
#include <cstring>

#include "common/sample_rule.h"
#include "system_audio/memory_sample_buffer.h"
#include "system_audio/system_audio_capturer.h"
#include "tests/fake/common/fake_process.h"
#include "tests/fuzz/fuzz_input.h"

using namespace corvane;

namespace {

// Only standard output and the process are used.
struct Platform final : CapturePlatform, CaptureStream {
  void getShareableContent(bool, bool, ShareableContentCompletion) override {}
  std::unique_ptr<StreamConfiguration> makeStreamConfiguration() override { return nullptr; }
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter&, const StreamConfiguration&,
                                            StreamDelegate&) override {
    return nullptr;
  }
  DeliveryQueue& sampleHandlerQueue() override { return queue; }
  void startDetachedTask(std::function<void()>) override {}
  OutputStream& standardOutput() override { return proc; }
  pcm::ProcessControl& process() override { return proc; }
  std::optional<PlatformError> addStreamOutput(StreamOutput&, StreamOutputType,
                                               DeliveryQueue&) override {
    return std::nullopt;
  }
  void startCapture(std::function<void(std::optional<PlatformError>)>) override {}
  pcm::fake::FakeProcess proc;
  DeliveryQueue queue;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzInput in{data, size};
  Platform platform;
  SystemAudioCapturer capturer(platform);
  pcm::fake::Lines expected;
  std::string out;
  bool logged = false, stamped = false;
  while (!in.empty()) {
    const uint8_t shape = in.byte();
    const AudioStreamBasicDescription asbd{in.word() / 7.0, in.word(), in.byte(), in.byte(),
                                           in.byte()};
    std::string bytes = in.bytes(in.byte() | (in.byte() & 3) << 8);
    const MemoryBlockBuffer block(std::as_bytes(std::span(bytes)));
    const MemoryFormatDescription format(shape & 0x04 ? std::nullopt : std::optional(asbd));
    const auto type = shape & 0x08 ? StreamOutputType(in.byte() % 3) : StreamOutputType::audio;
    const MemorySampleBuffer buffer(shape & 0x01 ? std::nullopt : std::optional(block),
                                    shape & 0x02 ? std::nullopt : std::optional(format));

    const bool audio = type == StreamOutputType::audio && !(shape & 0x07);
    if (audio && !std::exchange(logged, true)) expected.push_back(streamFormatLine(asbd));
    std::string want = bytes;
    if (asbd.mFormatFlags & kAudioFormatFlagIsFloat) {
      want.clear();
      for (std::size_t at = 0; at + 4 <= bytes.size(); at += 4) {
        float sample;
        std::memcpy(&sample, &bytes[at], 4);
        const auto value = static_cast<uint16_t>(pcm::sampleFromFloat(sample));
        want += {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
      }
    }
    if (audio && !want.empty()) expected.push_back("stdout " + std::to_string(want.size()));
    const bool floats = asbd.mFormatFlags & kAudioFormatFlagIsFloat;
    if (audio && floats && !want.empty() && !std::exchange(stamped, true)) {
      expected.push_back("Sample 0");
    }
    if (audio) out += want;
    capturer.didOutputSampleBuffer(platform, buffer, type);
    pcm::fake::Lines log = platform.proc.log();
    for (std::string& line : log) {
      if (line.starts_with("Sample 0 captured at ") && line.ends_with(" s monotonic\n")) {
        line = "Sample 0";
      }
    }
    if (log != expected || platform.proc.stdoutBytes() != out) std::abort();
  }
  return 0;
}
