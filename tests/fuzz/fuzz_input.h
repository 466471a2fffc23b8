// A fuzzer's input read as a run of values; zeros and empty text once it is
// used up.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

struct FuzzInput {
  bool empty() const { return at == size; }
  uint8_t byte() { return empty() ? 0 : data[at++]; }
  uint32_t word() { return byte() | byte() << 8 | byte() << 16 | uint32_t{byte()} << 24; }
  // Up to `count` bytes: fewer when the input ends first.
  std::string bytes(std::size_t count) {
    count = std::min(count, size - at);
    at += count;
    return std::string(reinterpret_cast<const char*>(data + at - count), count);
  }
  const uint8_t* data;
  std::size_t size, at = 0;
};
