#include "microphone/name_match.h"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

namespace velloc {
namespace {

struct FreeDeleter {
  void operator()(utf8proc_uint8_t* p) const { std::free(p); }
};

// utf8proc_NFC bounded by length, not a terminator: a name holding a NUL byte is compared whole.
std::optional<std::string> toNfc(std::string_view text) {
  utf8proc_uint8_t* raw = nullptr;
  const auto length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                   static_cast<utf8proc_ssize_t>(text.size()), &raw,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  std::unique_ptr<utf8proc_uint8_t, FreeDeleter> owned(raw);
  if (length < 0 || raw == nullptr) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(raw), static_cast<std::size_t>(length));
}

}  // namespace

bool namesMatch(std::string_view a, std::string_view b) {
  if (a == b) return true;
  const auto left = toNfc(a);
  const auto right = toNfc(b);
  if (!left || !right) return false;  // differing bytes, and one of them is not UTF-8
  return *left == *right;
}

}  // namespace velloc
