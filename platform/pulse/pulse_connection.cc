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

std::unique_ptr<PulseConnection> PulseConnection::connect(const std::string& applicationName,
                                                          std::chrono::milliseconds timeout,
                                                          std::string& reason) {
  pa_threaded_mainloop* loop = pa_threaded_mainloop_new();
  if (loop == nullptr) {
    reason = "cannot create the audio client's main loop";
    return nullptr;
  }
  pa_context* context = pa_context_new(pa_threaded_mainloop_get_api(loop), applicationName.c_str());
  if (context == nullptr) {
    pa_threaded_mainloop_free(loop);
    reason = "cannot create the audio client context";
    return nullptr;
  }
  std::unique_ptr<PulseConnection> connection(new PulseConnection(loop, context));
  pa_context_set_state_callback(
      context, [](pa_context*, void* self) { signalFrom(self); }, connection.get());

  // A capture tool must never start an audio server of its own as a side effect.
  if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    reason = pa_strerror(pa_context_errno(context));
    return nullptr;
  }
  if (pa_threaded_mainloop_start(loop) < 0) {
    reason = "cannot start the audio client's event thread";
    return nullptr;
  }
  auto held = connection->lock();
  const bool ready = connection->waitUntil(
      [context] { return pa_context_get_state(context) == PA_CONTEXT_READY; }, timeout);
  if (ready) return connection;
  reason = contextFailed(context) ? connection->errorText() : pa_strerror(PA_ERR_TIMEOUT);
  return nullptr;  // `held` unlocks before the connection is torn down
}

PulseConnection::~PulseConnection() {
  pa_threaded_mainloop_stop(loop_);
  pa_context_set_state_callback(context_, nullptr, nullptr);
  pa_context_disconnect(context_);
  pa_context_unref(context_);
  pa_threaded_mainloop_free(loop_);
}

bool PulseConnection::alive() const { return pa_context_get_state(context_) == PA_CONTEXT_READY; }

std::string PulseConnection::errorText() const {
  const char* text = pa_strerror(pa_context_errno(context_));
  return text != nullptr ? text : "unknown audio server error";
}

bool PulseConnection::waitFor(pa_operation* operation, std::chrono::milliseconds timeout) {
  if (operation == nullptr) return false;
  const bool finished = waitUntil(
      [operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; }, timeout);
  if (!finished) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  return finished;
}

bool PulseConnection::waitUntil(const std::function<bool()>& done,
                                std::chrono::milliseconds timeout) {
  if (done()) return true;
  Deadline deadline{this};
  const pa_usec_t micros = static_cast<pa_usec_t>(timeout.count()) * 1000;
  pa_time_event* timer =
      pa_context_rttime_new(context_, pa_rtclock_now() + micros, onDeadline, &deadline);
  bool finished = false;
  while (!(finished = done()) && !deadline.passed && !contextFailed(context_)) wait();
  if (timer != nullptr) pa_threaded_mainloop_get_api(loop_)->time_free(timer);
  return finished;
}

}  // namespace pulse
