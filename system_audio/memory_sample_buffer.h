// What a backend hands the capturer for a block of audio it holds. The bytes are borrowed and must
// stay put while the buffer is in use.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <utility>

#include "system_audio/capture_platform.h"

namespace corvane {

class MemoryBlockBuffer final : public BlockBuffer {
 public:
  explicit MemoryBlockBuffer(std::span<const std::byte> bytes) : bytes_(bytes) {}
  std::size_t dataLength() const override { return bytes_.size(); }
  int32_t copyDataBytes(std::size_t offset, std::size_t length, void* destination) const override;
  std::span<const std::byte> contiguousBytes() const override { return bytes_; }

 private:
  std::span<const std::byte> bytes_;
};

class MemoryFormatDescription final : public FormatDescription {
 public:
  explicit MemoryFormatDescription(std::optional<AudioStreamBasicDescription> description)
      : description_(description) {}
  const AudioStreamBasicDescription* streamBasicDescription() const override {
    return description_ ? &*description_ : nullptr;
  }

 private:
  std::optional<AudioStreamBasicDescription> description_;
};

class MemorySampleBuffer final : public SampleBuffer {
 public:
  MemorySampleBuffer(std::optional<MemoryBlockBuffer> data,
                     std::optional<MemoryFormatDescription> format, CMTime presentation = {},
                     bool discontinuity = false)
      : data_(std::move(data)),
        format_(std::move(format)),
        presentation_(presentation),
        discontinuity_(discontinuity) {}
  const BlockBuffer* dataBuffer() const override { return data_ ? &*data_ : nullptr; }
  const FormatDescription* formatDescription() const override {
    return format_ ? &*format_ : nullptr;
  }
  CMTime presentationTimeStamp() const override { return presentation_; }
  bool discontinuity() const override { return discontinuity_; }

 private:
  std::optional<MemoryBlockBuffer> data_;
  std::optional<MemoryFormatDescription> format_;
  CMTime presentation_;
  bool discontinuity_;
};

}  // namespace corvane
