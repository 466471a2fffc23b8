// How everything in this layer reports failure: a value, or the reason there is
// none in the words of the server or the client library ("Connection refused",
// "No such entity", "Timeout"). The tools' own error forms are made from it at
// their boundaries only.
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

// Result<> is the result of an action that yields nothing but success.
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

// Runs `body` where a thread comes into the layer from code that cannot take an
// exception (a callback of the client library's event thread): memory that runs
// out inside it, in this layer or in a tool's handler, goes to `ranOut` as an
// Error instead. Its reason fits in a string without memory of its own; should
// `ranOut` run out as well, nothing is left to tell and the process ends.
template <typename Body, typename RanOut>
void entered(Body&& body, RanOut&& ranOut) noexcept {
  try {
    body();
  } catch (const std::bad_alloc&) {
    ranOut(Error{"Out of memory"});
  }
}

}  // namespace pulse
