// Turns each delivered audio buffer into the PCM output stream.
#include <string>
#include <system_error>
#include <vector>

#include "common/number_format.h"
#include "common/sample_rule.h"
#include "system_audio/system_audio_capturer.h"

namespace corvane {

std::string streamFormatLine(const AudioStreamBasicDescription& description) {
  const auto truth = [](bool value) { return value ? "true" : "false"; };
  return "[orrick] ASBD sampleRate=" + pcm::formatDouble(description.mSampleRate) +
         " channels=" + std::to_string(description.mChannelsPerFrame) +
         " bitsPerChannel=" + std::to_string(description.mBitsPerChannel) +
         " float=" + truth(description.mFormatFlags & kAudioFormatFlagIsFloat) +
         " nonInterleaved=" + truth(description.mFormatFlags & kAudioFormatFlagIsNonInterleaved) +
         " bytesPerFrame=" + std::to_string(description.mBytesPerFrame) + "\n";
}

void SystemAudioCapturer::writeOutput(std::span<const std::byte> bytes) {
  // An empty write would add nothing to the stream; skipping it keeps one write
  // per buffer that carries samples.
  if (bytes.empty()) return;
  if (const int error = outputHandle.write(bytes)) {
    // A reader that went away normally ends the process by SIGPIPE before this;
    // what is left (a full disk, an I/O error) would lose every later buffer, so
    // the tool says so and stops rather than capture into nothing.
    pcm::ProcessControl& process = platform_.process();
    process.writeDiagnostic(
        "FATAL: cannot write to stdout: " + std::generic_category().message(error) + "\n");
    process.exitProcess(1);
  }
}

void SystemAudioCapturer::didOutputSampleBuffer(CaptureStream&, const SampleBuffer& sampleBuffer,
                                                StreamOutputType type) {
  if (type != StreamOutputType::audio) return;

  const BlockBuffer* block = sampleBuffer.dataBuffer();
  if (block == nullptr) return;
  const std::size_t length = block->dataLength();
  const std::size_t sampleCount = length / 4;
  // Room for every byte, the partial group after the last whole sample included,
  // zeroed so that a failed copy leaves zeros where nothing arrived; the buffer
  // then goes on as it is.
  dataCopy_.assign((length + 3) / 4, 0.0f);
  block->copyDataBytes(0, length, dataCopy_.data());
  const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(dataCopy_.data()),
                                         length);

  const FormatDescription* format = sampleBuffer.formatDescription();
  if (format == nullptr) return;
  const AudioStreamBasicDescription* description = format->streamBasicDescription();
  if (description == nullptr) return;

  if (!loggedFormat) {
    platform_.process().writeDiagnostic(streamFormatLine(*description));
    loggedFormat = true;
  }

  if ((description->mFormatFlags & kAudioFormatFlagIsFloat) == 0) {
    writeOutput(bytes);
    return;
  }

  // Every whole 4-byte group is one sample, whatever the channel layout; a
  // trailing partial group is dropped.
  if (sampleCount == 0) return;
  if (pcmBytes_.size() < 2 * sampleCount) pcmBytes_.resize(2 * sampleCount);
  pcm::encodePcm16le(dataCopy_.data(), sampleCount, pcmBytes_.data());
  writeOutput({pcmBytes_.data(), 2 * sampleCount});
}

}  // namespace corvane
