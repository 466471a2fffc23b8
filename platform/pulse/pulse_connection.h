// One client connection to the audio server, driven by libpulse's threaded main
// loop.
//
// How to use it:
//   auto connection = PulseConnection::connect("my-tool");
//   if (!connection) { /* connection.error().reason: e.g. "Connection refused" */ }
//   {
//     auto lock = (*connection)->lock();      // every libpulse call happens under the lock
//     pa_operation* op = pa_context_get_server_info((*connection)->context(), cb, &data);
//     if (auto done = (*connection)->waitFor(op); !done) { /* done.error().reason: "Timeout" */ }
//   }
// Callbacks run on libpulse's event thread with the lock held; one that a
// waitUntil() depends on must end with `signal()` (or
// PulseConnection::signalFrom(userdata)) so that the waiter re-checks its
// condition (waitFor() sees to that itself). Nothing here ever waits without a
// bound: a server that stops answering turns into a timeout, and a connection
// that has timed out once counts as gone from then on, so no later step waits
// again.
#pragma once

#include <pulse/context.h>
#include <pulse/operation.h>
#include <pulse/thread-mainloop.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/pulse/result.h"

namespace pulse {

// The longest any one step waits for the server: connecting, one query, a
// stream becoming ready. Long enough for a busy desktop server, short enough
// that a server that has stopped answering does not look like a hung tool.
inline constexpr std::chrono::milliseconds kServerTimeout{3000};

class PulseConnection {
 public:
  // Holds the main-loop lock for its lifetime. Never take it on libpulse's event
  // thread (inside a callback the lock is already held).
  class Lock {
   public:
    explicit Lock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    ~Lock() { pa_threaded_mainloop_unlock(loop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* loop_;
  };

  // Connects to the server the environment names (PULSE_SERVER, or the user's
  // runtime directory) without ever spawning one.
  static Result<std::unique_ptr<PulseConnection>> connect(const std::string& applicationName);
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  [[nodiscard]] Lock lock() { return Lock(loop_); }
  pa_context* context() const { return context_; }
  pa_mainloop_api* api() const { return pa_threaded_mainloop_get_api(loop_); }

  // The lock must be held for everything below.

  // Succeeds while the context is connected and the server answers.
  Result<> alive() const;
  // Fails once a wait has run out: the server has stopped answering.
  Result<> answering() const { return timedOut_ ? failure() : success(); }
  // Why the connection (or its last request) failed.
  Error failure() const;

  // Waits for `operation` to finish, the context to fail, or the time-out;
  // always releases the operation. Fails unless it finished.
  Result<> waitFor(pa_operation* operation);
  // Waits until `done()` is true, the context fails, or the time-out passes.
  // Fails unless done() ended true.
  Result<> waitUntil(const std::function<bool()>& done);
  // Wakes every waiter. Callable from callbacks.
  void signal() { pa_threaded_mainloop_signal(loop_, 0); }
  // For C callbacks whose userdata is the connection.
  static void signalFrom(void* connection) { static_cast<PulseConnection*>(connection)->signal(); }

 private:
  PulseConnection(pa_threaded_mainloop* loop, pa_context* context);

  pa_threaded_mainloop* loop_;
  pa_context* context_;
  bool timedOut_ = false;
};

}  // namespace pulse
