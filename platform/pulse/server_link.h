// A tool's one connection to the audio server, made on first use from any
// thread. The answer of that first attempt stands for the rest of the run: a
// server that could not be reached is not tried again, and a connection that
// has since stopped answering is reported as gone rather than waited for.
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
  // `onUnreachable` runs once, the first time the link finds no usable server.
  explicit ServerLink(std::string applicationName,
                      std::function<void(const Error&)> onUnreachable = nullptr)
      : applicationName_(std::move(applicationName)), onUnreachable_(std::move(onUnreachable)) {}

  // The live connection, or why there is none. Call without its lock held.
  Result<PulseConnection*> connection();

  // Gets the connection, takes its lock and answers what `question` (which
  // answers a Result) makes of it; or why there is no connection. Call without
  // the lock held.
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
