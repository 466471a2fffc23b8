#include "common/line_escape.h"

#include <cstdint>

namespace pcm {
namespace {

constexpr char kHex[] = "0123456789abcdef";

void appendByte(std::string& out, uint8_t byte) {
  out += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]};
}

void appendCodePoint(std::string& out, uint32_t point) {
  out += {'\\', 'u'};
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(point >> shift) & 0xF];
}

bool isContinuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

// 0 when `text` starts with no well-formed UTF-8 sequence (overlong, surrogate, past U+10FFFF).
std::size_t decode(std::string_view text, uint32_t& point) {
  const auto at = [&](std::size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = at(0);
  std::size_t length;
  uint8_t low = 0x80, high = 0xBF;  // the range allowed for the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || at(1) < low || at(1) > high) return 0;
  point = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if (!isContinuation(at(i))) return 0;
    point = point << 6 | (at(i) & 0x3F);
  }
  return length;
}

}  // namespace

std::string escapeForLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<uint8_t>(text[i]);
    if (byte < 0x80) {
      if (byte == '\n') {
        out += "\\n";
      } else if (byte == '\r') {
        out += "\\r";
      } else if (byte == '\t') {
        out += "\\t";
      } else if (byte < 0x20 || byte == 0x7F) {
        appendByte(out, byte);
      } else {
        out += static_cast<char>(byte);
      }
      ++i;
      continue;
    }
    uint32_t point = 0;
    const std::size_t length = decode(text.substr(i), point);
    if (length == 0) {
      appendByte(out, byte);
      ++i;
    } else if (point <= 0x9F || point == 0x2028 || point == 0x2029) {
      appendCodePoint(out, point);
      i += length;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

}  // namespace pcm
