#include "platform/pulse/record_stream.h"

#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/rtclock.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <utility>

namespace pulse {
namespace {

bool streamFailed(pa_stream* stream) { return !PA_STREAM_IS_GOOD(pa_stream_get_state(stream)); }

// A server moving the stream itself would silently change what is captured:
// the stream fails instead, and a following stream picks its next device.
constexpr auto kFlags =
    static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);

// Moves in a row that may fail before following gives up.
constexpr int kMostFailedMoves = 3;

// How long a stream whose device went away waits for the server to name
// another before it ends: the server may announce the new default a moment
// after it removed the old one.
constexpr pa_usec_t kReplacementWait = 400'000;

std::string describe(const char* description, const char* name) {
  return description != nullptr && *description != '\0' ? description : name;
}

}  // namespace

RecordStream::RecordStream(PulseConnection& connection, Config config, BlockHandler onBlock,
                           FailureHandler onFailure, MoveHandler onMove, LossHandler onLoss)
    : connection_(connection),
      config_(std::move(config)),
      onBlock_(std::move(onBlock)),
      onFailure_(std::move(onFailure)),
      onMove_(std::move(onMove)),
      onLoss_(std::move(onLoss)),
      block_(static_cast<std::size_t>(config_.framesPerBlock) *
             (pa_sample_spec_valid(&config_.sampleSpec) ? pa_frame_size(&config_.sampleSpec) : 0)),
      source_(config_.sourceName.value_or("")) {}

RecordStream::~RecordStream() {
  auto held = connection_.lock();
  if (config_.follow != Config::Follow::nothing) {
    pa_context_set_subscribe_callback(connection_.context(), nullptr, nullptr);
  }
  waitForAnotherDevice(false);
  release(next_);
  release(stream_);
  ended_ = true;  // queries still under way find nothing to do
}

void RecordStream::release(pa_stream*& stream) {
  if (stream == nullptr) return;
  pa_stream_set_read_callback(stream, nullptr, nullptr);
  if (pa_stream_get_state(stream) == PA_STREAM_CREATING) {
    // The server cannot be told to drop a stream before it has made it, and
    // one merely let go here would stay on the server: it is ended once made,
    // and holds its reference until then.
    pa_stream_set_state_callback(
        stream,
        [](pa_stream* made, void*) {
          const pa_stream_state_t state = pa_stream_get_state(made);
          if (state == PA_STREAM_READY) {
            pa_stream_disconnect(made);
          } else if (!PA_STREAM_IS_GOOD(state)) {
            pa_stream_set_state_callback(made, nullptr, nullptr);
            pa_stream_unref(made);
          }
        },
        nullptr);
  } else {
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    if (pa_stream_get_state(stream) == PA_STREAM_READY) pa_stream_disconnect(stream);
    pa_stream_unref(stream);
  }
  stream = nullptr;
}

pa_stream* RecordStream::connect(const char* source, const pa_channel_map* map) {
  pa_stream* stream =
      pa_stream_new(connection_.context(), config_.streamName.c_str(), &config_.sampleSpec, map);
  if (stream == nullptr) return nullptr;
  pa_stream_set_state_callback(stream, onState, this);
  pa_stream_set_read_callback(stream, onRead, this);
  // The server is asked to hand audio over in blocks of the size the caller
  // wants, so the first one arrives about one block's duration after start.
  // The queue length is left to the server's maximum.
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<uint32_t>(-1);
  attributes.tlength = static_cast<uint32_t>(-1);
  attributes.prebuf = static_cast<uint32_t>(-1);
  attributes.minreq = static_cast<uint32_t>(-1);
  attributes.fragsize = static_cast<uint32_t>(std::min<std::size_t>(block_.size(), UINT32_MAX));
  if (pa_stream_connect_record(stream, source, &attributes, kFlags) != 0) release(stream);
  return stream;
}

Result<> RecordStream::start() {
  if (block_.empty()) return Error{pa_strerror(PA_ERR_INVALID)};
  auto held = connection_.lock();
  if (!connection_.alive()) return connection_.failure();

  const pa_channel_map* map = config_.channelMap ? &*config_.channelMap : nullptr;
  stream_ = connect(config_.sourceName ? config_.sourceName->c_str() : nullptr, map);
  if (stream_ == nullptr || !connection_.waitUntil([this] {
        return pa_stream_get_state(stream_) == PA_STREAM_READY || streamFailed(stream_);
      }) ||
      pa_stream_get_state(stream_) != PA_STREAM_READY) {
    const Error failure = connection_.failure();
    release(stream_);
    return failure;
  }
  started_ = true;
  if (config_.follow != Config::Follow::nothing) {
    pa_context_set_subscribe_callback(connection_.context(), onServerEvent, this);
    const auto mask = static_cast<pa_subscription_mask_t>(
        PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE);
    if (pa_operation* op = pa_context_subscribe(connection_.context(), mask, nullptr, nullptr)) {
      pa_operation_unref(op);
    }
    // The default may have changed while the stream was being made.
    checkDefault();
  }
  return success();
}

void RecordStream::fail(const Error& error) {
  if (ended_) return;
  ended_ = true;
  release(next_);
  release(stream_);
  if (onFailure_) onFailure_(error);
}

void RecordStream::onState(pa_stream* stream, void* userdata) {
  auto* self = static_cast<RecordStream*>(userdata);
  self->connection_.signal();
  if (!self->started_ || self->ended_) return;
  if (stream == self->next_) return self->nextChanged(pa_stream_get_state(stream));
  if (!streamFailed(stream)) return;
  const Error error = self->connection_.failure();
  if (self->config_.follow == Config::Follow::nothing || !self->connection_.alive() ||
      ++self->failedMoves_ > kMostFailedMoves) {
    self->fail(error);
    return;
  }
  // The device went away, or the server ended the stream: whatever the server
  // now names as the default decides whether capture goes on.
  self->lost_ = error;
  release(self->stream_);
  self->checkDefault();
}

void RecordStream::onRead(pa_stream* stream, size_t, void* userdata) {
  auto* self = static_cast<RecordStream*>(userdata);
  const void* data = nullptr;
  std::size_t bytes = 0;
  while (!self->ended_ && pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
    self->take(static_cast<const std::byte*>(data), bytes);
    pa_stream_drop(stream);
  }
  if (self->onLoss_ && !self->ended_) self->watchForLoss();
}

// A stream that falls behind the clock and catches up lost nothing; one whose
// least lag over a window has grown by more than a moving device or a busy
// machine explains has lost the difference. Windows keep the slow drift between
// a device's clock and this machine's out of it.
void RecordStream::watchForLoss() {
  constexpr double kWindowSeconds = 5.0;
  constexpr double kNoticeableSeconds = 0.5;
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const double seconds = static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
  const double received = (static_cast<double>(nextFrame_) +
                           static_cast<double>(filled_) / pa_frame_size(&config_.sampleSpec)) /
                          config_.sampleSpec.rate;
  if (clockStart_ < 0) {
    clockStart_ = seconds - received;
    windowEnd_ = seconds + kWindowSeconds;
  }
  windowLeast_ = std::min(windowLeast_, seconds - clockStart_ - received);
  if (seconds < windowEnd_) return;
  if (behind_ && windowLeast_ - *behind_ > kNoticeableSeconds) {
    onLoss_(static_cast<uint64_t>((windowLeast_ - *behind_) * 1000.0));
  }
  behind_ = windowLeast_;
  windowLeast_ = 1e300;
  windowEnd_ = seconds + kWindowSeconds;
}

void RecordStream::take(const std::byte* data, std::size_t bytes) {
  while (bytes > 0) {
    const std::size_t part = std::min(bytes, block_.size() - filled_);
    if (data != nullptr) {
      std::memcpy(block_.data() + filled_, data, part);
      data += part;
    } else {
      std::memset(block_.data() + filled_, 0, part);  // a hole: keep the timing
    }
    filled_ += part;
    bytes -= part;
    if (filled_ == block_.size()) {
      filled_ = 0;
      onBlock_(block_, nextFrame_);
      nextFrame_ += config_.framesPerBlock;
    }
  }
}

void RecordStream::onServerEvent(pa_context*, pa_subscription_event_type_t type, uint32_t,
                                 void* userdata) {
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  // A changed default shows as a change of the server; a device coming or
  // going may change it too.
  if (facility == PA_SUBSCRIPTION_EVENT_SERVER || kind != PA_SUBSCRIPTION_EVENT_CHANGE) {
    static_cast<RecordStream*>(userdata)->checkDefault();
  }
}

// Queries run one at a time; news that comes during one asks for another after it.
void RecordStream::checkDefault() {
  if (ended_) return;
  if (asking_) {
    askAgain_ = true;
    return;
  }
  asking_ = true;
  pa_operation* op = pa_context_get_server_info(
      connection_.context(),
      [](pa_context*, const pa_server_info* info, void* userdata) {
        auto* self = static_cast<RecordStream*>(userdata);
        const bool source = self->config_.follow == Config::Follow::defaultSource;
        self->defaultIs(info == nullptr ? nullptr
                        : source        ? info->default_source_name
                                        : info->default_sink_name);
      },
      this);
  if (op == nullptr) return fail(connection_.failure());
  pa_operation_unref(op);
}

void RecordStream::defaultIs(const char* name) {
  if (ended_) return;
  if (name == nullptr || *name == '\0') return noDevice();
  pa_operation* op = nullptr;
  if (config_.follow == Config::Follow::defaultSource) {
    op = pa_context_get_source_info_by_name(
        connection_.context(), name,
        [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
          auto* self = static_cast<RecordStream*>(userdata);
          if (eol < 0) return self->noDevice();
          if (info != nullptr) self->useDevice(info->name, describe(info->description, info->name));
        },
        this);
  } else {
    op = pa_context_get_sink_info_by_name(
        connection_.context(), name,
        [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
          auto* self = static_cast<RecordStream*>(userdata);
          if (eol < 0) return self->noDevice();
          if (info != nullptr) {
            self->useDevice(info->monitor_source_name, describe(info->description, info->name));
          }
        },
        this);
  }
  if (op == nullptr) return fail(connection_.failure());
  pa_operation_unref(op);
}

void RecordStream::useDevice(const std::string& source, const std::string& description) {
  if (ended_) return;
  asking_ = false;
  if (askAgain_) {
    askAgain_ = false;
    return checkDefault();
  }
  wanted_ = source;
  wantedDescription_ = description;
  move();
}

// One stream is made at a time, and the old one is read until the new one
// delivers. A change during a move waits for the stream being made: the server
// cannot be told to drop it before, and a burst of changes then costs one
// stream for its last default instead of one for each.
void RecordStream::move() {
  if (next_ != nullptr) {
    if (nextSource_ == wanted_ || pa_stream_get_state(next_) == PA_STREAM_CREATING) return;
    release(next_);  // made for a default that has changed since, and never read
  }
  if (stream_ != nullptr && source_ == wanted_) return;  // already there
  waitForAnotherDevice(false);
  nextSource_ = wanted_;
  nextDescription_ = wantedDescription_;
  // Another device has its own channel order; the server maps to the stream's.
  next_ = connect(nextSource_.c_str(), nullptr);
  if (next_ == nullptr) return fail(connection_.failure());
  pa_stream_set_read_callback(next_, onFirstRead, this);
}

void RecordStream::nextChanged(pa_stream_state_t state) {
  if (state == PA_STREAM_READY && nextSource_ != wanted_) return move();
  if (PA_STREAM_IS_GOOD(state)) return;
  const Error error = connection_.failure();
  release(next_);
  if (!connection_.alive() || ++failedMoves_ > kMostFailedMoves) return fail(error);
  checkDefault();
}

// The new stream delivers: it replaces the old one. Coming back to the device
// the old one recorded (after the server ended it) is no move.
void RecordStream::onFirstRead(pa_stream* stream, size_t bytes, void* userdata) {
  auto* self = static_cast<RecordStream*>(userdata);
  if (self->ended_ || stream != self->next_) return;
  release(self->stream_);
  self->stream_ = std::exchange(self->next_, nullptr);
  pa_stream_set_read_callback(stream, onRead, self);
  self->failedMoves_ = 0;
  self->lost_.reset();
  const bool moved = self->nextSource_ != self->source_;
  self->source_ = self->nextSource_;
  if (moved && self->onMove_) self->onMove_(self->nextDescription_);
  onRead(stream, bytes, userdata);
}

void RecordStream::noDevice() {
  if (ended_) return;
  asking_ = false;
  if (askAgain_) {
    askAgain_ = false;
    return checkDefault();
  }
  // Nothing to follow: capture goes on from a device that is still there, and
  // ends with the reason it was lost unless the server names another soon.
  if (lost_) waitForAnotherDevice(true);
}

void RecordStream::waitForAnotherDevice(bool wait) {
  if (!wait) {
    if (giveUp_ != nullptr) connection_.api()->time_free(giveUp_);
    giveUp_ = nullptr;
    return;
  }
  if (giveUp_ != nullptr) return;
  giveUp_ = pa_context_rttime_new(
      connection_.context(), pa_rtclock_now() + kReplacementWait,
      [](pa_mainloop_api* api, pa_time_event* event, const struct timeval*, void* userdata) {
        auto* self = static_cast<RecordStream*>(userdata);
        api->time_free(event);
        self->giveUp_ = nullptr;
        if (self->lost_ && self->stream_ == nullptr && self->next_ == nullptr) {
          self->fail(*self->lost_);
        }
      },
      this);
  if (giveUp_ == nullptr) fail(*lost_);
}

}  // namespace pulse
