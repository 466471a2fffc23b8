// A fuzzer's input read as a run of values; zeros and empty text once it is
// used up.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ == size_; }
  uint8_t byte() { return empty() ? 0 : data_[at_++]; }
  uint32_t word() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = value << 8 | byte();
    return value;
  }
  // Up to `count` bytes: fewer when the input ends first.
  std::string bytes(std::size_t count) {
    count = std::min(count, size_ - at_);
    at_ += count;
    return std::string(reinterpret_cast<const char*>(data_ + at_ - count), count);
  }

 private:
  const uint8_t* data_;
  std::size_t size_, at_ = 0;
};
