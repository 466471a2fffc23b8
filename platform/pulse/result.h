// The reason is in the words of the server or libpulse ("Connection refused", "Timeout"); the
// tools' own error forms are made from it at their boundaries only.
#pragma once

#include <new>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace pulse {

struct Error {
  std::string reason;
};

template <typename T = std::monostate>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}
  Result(Error error) : error_(std::move(error)) {}

  explicit operator bool() const { return value_.has_value(); }
  T& operator*() { return *value_; }
  const T& operator*() const { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  // Only meaningful when there is no value.
  const Error& error() const { return error_; }

 private:
  std::optional<T> value_;
  Error error_;
};

inline Result<> success() { return std::monostate{}; }

// Wraps where a thread enters from code that cannot take an exception (libpulse's callbacks). The
// reason fits a string's own storage; should `ranOut` run out of memory too, the process ends.
template <typename Body, typename RanOut>
void entered(Body&& body, RanOut&& ranOut) noexcept {
  try {
    body();
  } catch (const std::bad_alloc&) {
    ranOut(Error{"Out of memory"});
  }
}

}  // namespace pulse
