// Made on first use, from any thread. That attempt's answer stands for the run: an unreachable
// server is not tried again, and one that stops answering is reported gone, not waited for.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>

#include "platform/pulse/pulse_connection.h"

namespace pulse {

class ServerLink {
 public:
  // `onUnreachable` runs once, the first time no usable server is found.
  explicit ServerLink(std::string applicationName,
                      std::function<void(const Error&)> onUnreachable = nullptr)
      : applicationName_(std::move(applicationName)), onUnreachable_(std::move(onUnreachable)) {}

  // Call this and query() without the connection's lock held.
  Result<PulseConnection*> connection();

  template <typename Question>
  auto query(Question&& question) -> std::invoke_result_t<Question&, PulseConnection&> {
    auto server = connection();
    if (!server) return server.error();
    auto held = (*server)->lock();
    return question(**server);
  }

 private:
  void reportUnreachable(const Error& error);

  const std::string applicationName_;
  const std::function<void(const Error&)> onUnreachable_;
  std::mutex mutex_;
  bool tried_ = false;
  bool reported_ = false;
  std::unique_ptr<PulseConnection> connection_;
  Error failure_;
};

}  // namespace pulse
