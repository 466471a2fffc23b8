// A run of arbitrary buffers through corvane's sample handler: any data bytes,
// some of which may fail to copy, any format flags, a missing block, format or
// description, either output type, and a standard output that may fail.
// Besides the sanitizers' checks it asserts the byte path a reader relies on:
// the format line once before the first audio, then for each buffer one write
// of the rule's bytes for every whole 4-byte float group, or of the bytes
// themselves when not float.
#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "common/sample_rule.h"
#include "system_audio/memory_sample_buffer.h"
#include "system_audio/system_audio_capturer.h"
#include "tests/fake/system_audio/fake_capture_platform.h"
#include "tests/fuzz/fuzz_input.h"

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  fake::FakeCapturePlatform platform;
  SystemAudioCapturer capturer(platform);
  pcm::fake::Lines expected;
  std::string out;
  while (!in.empty()) {
    const uint8_t shape = in.byte();
    const AudioStreamBasicDescription asbd{in.word() / 7.0, in.word(), in.byte(), in.byte(),
                                           in.byte()};
    const std::size_t length = in.byte() | (in.byte() & 3) << 8;
    const fake::FakeBlock block(in.bytes(length), shape & 0x40 ? in.byte() : 0);
    const MemoryFormatDescription format(shape & 0x04 ? std::nullopt : std::optional(asbd));
    const auto type = shape & 0x08 ? StreamOutputType(in.byte() % 3) : StreamOutputType::audio;
    // A failing output ends the run, so only one buffer in four meets one.
    platform.proc.failWith = (shape & 0xA0) == 0xA0 ? (shape & 0x10 ? ENOSPC : EIO) : 0;

    std::string bytes = block.held + std::string(block.missing, '\0');  // a failed copy gives zeros
    const bool audio = type == StreamOutputType::audio && !(shape & 0x07);
    if (audio && !capturer.loggedFormat) expected.push_back(streamFormatLine(asbd));
    if (asbd.mFormatFlags & kAudioFormatFlagIsFloat) {
      std::string pcm;
      for (std::size_t at = 0; at + 4 <= bytes.size(); at += 4) {
        float sample;
        std::memcpy(&sample, &bytes[at], 4);
        const auto value = static_cast<uint16_t>(pcm::sampleFromFloat(sample));
        pcm += {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
      }
      bytes = pcm;
    }
    const bool written = audio && !bytes.empty();
    if (written) expected.push_back("stdout " + std::to_string(bytes.size()));
    if (written && platform.proc.failWith == 0) out += bytes;
    if (written && platform.proc.failWith != 0)
      expected.push_back("FATAL: cannot write to stdout: " +
                         std::generic_category().message(platform.proc.failWith) + "\n");

    const fake::FakeSample buffer(shape & 0x01 ? nullptr : &block,
                                  shape & 0x02 ? nullptr : &format);
    const auto ended =
        pcm::fake::exitStatusOf([&] { capturer.didOutputSampleBuffer(platform, buffer, type); });
    if (ended != (written && platform.proc.failWith != 0 ? std::optional(1) : std::nullopt) ||
        platform.proc.log() != expected || platform.proc.stdoutBytes() != out)
      std::abort();
    if (ended) break;
  }
  return 0;
}
