#include "platform/pulse/pulse_connection.h"

#include <pulse/error.h>
#include <pulse/rtclock.h>

namespace pulse {
namespace {

struct Deadline {
  PulseConnection* connection;
  bool passed = false;
};

void onDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
  auto* deadline = static_cast<Deadline*>(userdata);
  deadline->passed = true;
  deadline->connection->signal();
}

bool contextFailed(pa_context* context) {
  return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context));
}

}  // namespace

PulseConnection::PulseConnection(pa_threaded_mainloop* loop, pa_context* context)
    : loop_(loop), context_(context) {}

Result<std::unique_ptr<PulseConnection>> PulseConnection::connect(
    const std::string& applicationName) {
  pa_threaded_mainloop* loop = pa_threaded_mainloop_new();
  if (loop == nullptr) return Error{"cannot create the audio client's main loop"};
  pa_context* context = pa_context_new(pa_threaded_mainloop_get_api(loop), applicationName.c_str());
  if (context == nullptr) {
    pa_threaded_mainloop_free(loop);
    return Error{"cannot create the audio client context"};
  }
  // From here on the destructor releases both, whatever fails.
  std::unique_ptr<PulseConnection> connection(new PulseConnection(loop, context));
  pa_context_set_state_callback(
      context, [](pa_context*, void* self) { signalFrom(self); }, connection.get());

  if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return connection->failure();
  }
  if (pa_threaded_mainloop_start(loop) < 0) {
    return Error{"cannot start the audio client's event thread"};
  }
  auto held = connection->lock();
  auto ready = connection->waitUntil(
      [context] { return pa_context_get_state(context) == PA_CONTEXT_READY; });
  if (!ready) return ready.error();
  return connection;  // `held` unlocks first, either way: it was made last
}

PulseConnection::~PulseConnection() {
  pa_threaded_mainloop_stop(loop_);
  pa_context_set_state_callback(context_, nullptr, nullptr);
  pa_context_disconnect(context_);
  pa_context_unref(context_);
  pa_threaded_mainloop_free(loop_);
}

Result<> PulseConnection::alive() const {
  return !timedOut_ && pa_context_get_state(context_) == PA_CONTEXT_READY ? success() : failure();
}

Error PulseConnection::failure() const {
  if (timedOut_ && !contextFailed(context_)) return Error{pa_strerror(PA_ERR_TIMEOUT)};
  const char* text = pa_strerror(pa_context_errno(context_));
  return Error{text != nullptr ? text : "unknown audio server error"};
}

Result<> PulseConnection::waitFor(pa_operation* operation) {
  if (operation == nullptr) return failure();
  pa_operation_set_state_callback(
      operation, [](pa_operation*, void* self) { signalFrom(self); }, this);
  auto finished =
      waitUntil([operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
  if (!finished) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  return finished;
}

Result<> PulseConnection::waitUntil(const std::function<bool()>& done) {
  if (done()) return success();
  if (timedOut_) return failure();
  Deadline deadline{this};
  const auto micros = static_cast<pa_usec_t>(kServerTimeout.count()) * 1000;
  pa_time_event* timer =
      pa_context_rttime_new(context_, pa_rtclock_now() + micros, onDeadline, &deadline);
  bool finished = false;
  while (!(finished = done()) && !deadline.passed && !contextFailed(context_)) {
    pa_threaded_mainloop_wait(loop_);
  }
  if (timer != nullptr) pa_threaded_mainloop_get_api(loop_)->time_free(timer);
  if (!finished && deadline.passed) timedOut_ = true;
  return finished ? success() : failure();
}

}  // namespace pulse
