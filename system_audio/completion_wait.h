// Waits for a platform completion handler that may run on any thread, before or after the wait.
#pragma once

#include <atomic>
#include <future>
#include <memory>
#include <optional>
#include <utility>

namespace corvane {

template <typename T>
class CompletionWait {
  struct Shared {
    std::promise<T> promise;
    std::atomic_flag resumed;
  };

 public:
  // What a completion handler captures. Copies share one wait.
  class Resume {
   public:
    // Only the first call reaches the waiter: a handler called twice cannot resume it twice.
    void operator()(T value) const {
      if (!shared_->resumed.test_and_set()) shared_->promise.set_value(std::move(value));
    }

   private:
    friend class CompletionWait;
    explicit Resume(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
    std::shared_ptr<Shared> shared_;
  };

  CompletionWait() : shared_(std::make_shared<Shared>()), result_(shared_->promise.get_future()) {}

  // Call once. The waiter keeps no reference, so a handler dropped uncalled ends the wait.
  Resume resumer() { return Resume(std::move(shared_)); }

  // None when every copy of the handler was dropped uncalled.
  std::optional<T> wait() {
    try {
      return result_.get();
    } catch (const std::future_error&) {
      return std::nullopt;
    }
  }

 private:
  std::shared_ptr<Shared> shared_;
  std::future<T> result_;
};

}  // namespace corvane
