// One client connection to the audio server, driven by libpulse's threaded main
// loop.
//
// How to use it:
//   std::string reason;
//   auto connection = PulseConnection::connect("my-tool", std::chrono::seconds(5), reason);
//   if (!connection) { /* `reason` is the server's own words, e.g. "Connection refused" */ }
//   {
//     auto lock = connection->lock();          // every libpulse call happens under the lock
//     pa_operation* op = pa_context_get_server_info(connection->context(), cb, &data);
//     if (!connection->waitFor(op)) { /* context failed or timed out: connection->errorText() */ }
//   }
// Callbacks run on libpulse's event thread with the lock held; each one must end
// with `connection->signal()` (or PulseConnection::signalFrom(userdata)) so that a
// waiter re-checks its condition. Nothing here ever waits without a bound: a
// server that stops answering turns into a timeout, not a hang.
#pragma once

#include <pulse/context.h>
#include <pulse/operation.h>
#include <pulse/thread-mainloop.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace pulse {

inline constexpr std::chrono::milliseconds kDefaultWait{5000};

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
  // runtime directory) without ever spawning one. Waits at most `timeout`; on
  // failure returns null and sets `reason`.
  static std::unique_ptr<PulseConnection> connect(const std::string& applicationName,
                                                  std::chrono::milliseconds timeout,
                                                  std::string& reason);
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  [[nodiscard]] Lock lock() { return Lock(loop_); }
  pa_context* context() const { return context_; }
  pa_threaded_mainloop* mainloop() const { return loop_; }

  // The lock must be held for everything below.

  // True while the context is connected and usable.
  bool alive() const;
  // The server's (or the library's) description of the last failure.
  std::string errorText() const;

  // Waits for `operation` to finish, or for the context to fail, or for
  // `timeout`; always releases the operation. Returns true when it finished.
  bool waitFor(pa_operation* operation, std::chrono::milliseconds timeout = kDefaultWait);
  // Waits until `done()` is true, the context fails, or `timeout` passes.
  // Returns done()'s final value.
  bool waitUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds timeout = kDefaultWait);
  // Sleeps until some callback signals. For threads that run their own wait
  // loop (and their own bound on it).
  void wait() { pa_threaded_mainloop_wait(loop_); }
  // Wakes every waiter. Callable from callbacks.
  void signal() { pa_threaded_mainloop_signal(loop_, 0); }
  // For C callbacks whose userdata is the connection.
  static void signalFrom(void* connection) { static_cast<PulseConnection*>(connection)->signal(); }

 private:
  PulseConnection(pa_threaded_mainloop* loop, pa_context* context);

  pa_threaded_mainloop* loop_;
  pa_context* context_;
};

}  // namespace pulse
