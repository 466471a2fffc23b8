// Every libpulse call is made with the lock held. Callbacks run on libpulse's event thread with it
// held; one that a waitUntil() depends on must end with signal() (waitFor() sees to that itself).
// No wait is unbounded: a server that stops answering is a timeout, and a connection that has timed
// out once counts as gone from then on, so no later step waits again.
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

// The longest one step waits (connecting, a query, a stream becoming ready): long enough for a busy
// desktop server, short enough that a server that stopped answering does not look like a hung tool.
inline constexpr std::chrono::milliseconds kServerTimeout{3000};

class PulseConnection {
 public:
  // Never taken on libpulse's event thread: inside a callback the lock is already held.
  class Lock {
   public:
    explicit Lock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    ~Lock() { pa_threaded_mainloop_unlock(loop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* loop_;
  };

  // A capture tool must never start an audio server of its own as a side effect.
  static Result<std::unique_ptr<PulseConnection>> connect(const std::string& applicationName);
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  [[nodiscard]] Lock lock() { return Lock(loop_); }
  pa_context* context() const { return context_; }
  pa_mainloop_api* api() const { return pa_threaded_mainloop_get_api(loop_); }

  // The lock must be held for everything below.

  Result<> alive() const;
  Result<> answering() const { return timedOut_ ? failure() : success(); }
  Error failure() const;

  // Always releases `operation`.
  Result<> waitFor(pa_operation* operation);
  Result<> waitUntil(const std::function<bool()>& done);
  void signal() { pa_threaded_mainloop_signal(loop_, 0); }
  static void signalFrom(void* connection) { static_cast<PulseConnection*>(connection)->signal(); }

 private:
  PulseConnection(pa_threaded_mainloop* loop, pa_context* context);

  pa_threaded_mainloop* loop_;
  pa_context* context_;
  bool timedOut_ = false;
};

}  // namespace pulse
