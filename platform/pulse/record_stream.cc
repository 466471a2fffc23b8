#include "platform/pulse/record_stream.h"

#include <pulse/error.h>
#include <pulse/rtclock.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <utility>

namespace pulse {
namespace {

bool streamFailed(pa_stream* stream) { return !PA_STREAM_IS_GOOD(pa_stream_get_state(stream)); }

// A server moving the stream itself would silently change what is captured:
// the stream fails instead, and a following stream picks its next device.
constexpr auto kFlags =
    static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);

// An answer this much later than the stream's start tells of a gap at once.
constexpr double kFarSeconds = 0.05;
// Reads this far apart, or half as far apart as the server holds audio for
// when that is more (up to twice this), mean the process was stopped or starved
// long enough for the server to drop some; shorter ones, as on a loaded machine,
// cost nothing.
constexpr double kStalledSeconds = 1.0;
// For this long after that, the server's answers may show that the stream
// jumped in time; at any other time, an answer out of line is a stray one.
constexpr double kJumpWindowSeconds = 5.0;
// For this long after a move, audio the server delivers may turn out to be from
// well before the first answers said: a device just taken up again may play
// out what it had held.
constexpr double kNewDeviceSeconds = 1.0;

// Moves in a row that may fail before following gives up.
constexpr int kMostFailedMoves = 3;

// How long a stream whose device went away waits for the server to name
// another before it ends: the server may announce the new default a moment
// after it removed the old one.
constexpr pa_usec_t kReplacementWait = 400'000;

double monotonicSeconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string describe(const std::optional<std::string>& description, const std::string& name) {
  return description && !description->empty() ? *description : name;
}

}  // namespace

template <typename... Args, void (RecordStream::*method)(Args...)>
struct RecordStream::Entry<method> {
  static void call(Args... args, void* userdata) {
    auto& self = *static_cast<RecordStream*>(userdata);
    entered([&] { (self.*method)(args...); }, [&](const Error& error) { self.fail(error); });
  }
};

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
  if (soon_ != nullptr) connection_.api()->time_free(soon_);
  forgetTiming();
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

Result<pa_stream*> RecordStream::connect(const char* source, const pa_channel_map* map) {
  pa_stream* stream =
      pa_stream_new(connection_.context(), config_.streamName.c_str(), &config_.sampleSpec, map);
  if (stream == nullptr) return connection_.failure();
  pa_stream_set_state_callback(stream, Entry<&RecordStream::onState>::call, this);
  pa_stream_set_read_callback(stream, Entry<&RecordStream::onRead>::call, this);
  // The server is asked to hand audio over in blocks of the size the caller
  // wants, so the first one arrives about one block's duration after start.
  // The queue length is left to the server's maximum.
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<uint32_t>(-1);
  attributes.tlength = static_cast<uint32_t>(-1);
  attributes.prebuf = static_cast<uint32_t>(-1);
  attributes.minreq = static_cast<uint32_t>(-1);
  attributes.fragsize = static_cast<uint32_t>(std::min<std::size_t>(block_.size(), UINT32_MAX));
  if (pa_stream_connect_record(stream, source, &attributes, kFlags) != 0) {
    release(stream);
    return connection_.failure();
  }
  return stream;
}

Result<> RecordStream::start() {
  if (block_.empty()) return Error{pa_strerror(PA_ERR_INVALID)};
  auto held = connection_.lock();
  if (auto alive = connection_.alive(); !alive) return alive;

  const pa_channel_map* map = config_.channelMap ? &*config_.channelMap : nullptr;
  auto made = connect(config_.sourceName ? config_.sourceName->c_str() : nullptr, map);
  if (!made) return made.error();
  stream_ = *made;
  auto ready = connection_.waitUntil(
      [this] { return pa_stream_get_state(stream_) == PA_STREAM_READY || streamFailed(stream_); });
  if (ready && pa_stream_get_state(stream_) != PA_STREAM_READY) ready = connection_.failure();
  if (!ready) {
    release(stream_);
    return ready;
  }
  started_ = true;
  askTiming();
  if (config_.follow != Config::Follow::nothing) {
    pa_context_set_subscribe_callback(connection_.context(),
                                      Entry<&RecordStream::onServerEvent>::call, this);
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
  forgetTiming();
  release(next_);
  release(stream_);
  if (onFailure_) onFailure_(error);
}

void RecordStream::onState(pa_stream* stream) {
  connection_.signal();
  if (!started_ || ended_) return;
  if (stream == next_) return nextChanged(pa_stream_get_state(stream));
  if (!streamFailed(stream)) return;
  const Error error = connection_.failure();
  if (config_.follow == Config::Follow::nothing || !connection_.alive() ||
      ++failedMoves_ > kMostFailedMoves) {
    fail(error);
    return;
  }
  // The device went away, or the server ended the stream: whatever the server
  // now names as the default decides whether capture goes on.
  lost_ = error;
  forgetTiming();
  release(stream_);
  checkDefault();
}

void RecordStream::onRead(pa_stream* stream, size_t) {
  const double now = monotonicSeconds();
  noteStall(now);
  lastRead_ = now;
  // The first audio of all waits with the server until its capture time is
  // known, for the stamp; a moved stream's is read at once, undated until then,
  // so that a move never holds up the audio.
  if (reading_ || nextFrame_ > 0) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    while (!ended_ && pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
      take(static_cast<const std::byte*>(data), bytes);
      pa_stream_drop(stream);
    }
  }
  if (ended_) return;
  askTiming();
  if (onLoss_) watchForLoss();
}

// Reads come many times a second; a long silence means this process was
// stopped, or starved, and has just come back. (Before the first read there is
// nothing to have stalled.)
void RecordStream::noteStall(double now) {
  const pa_buffer_attr* attr = stream_ != nullptr ? pa_stream_get_buffer_attr(stream_) : nullptr;
  const double held =
      attr != nullptr ? attr->maxlength / pa_bytes_per_second(&config_.sampleSpec) : 0.0;
  const double stalled = std::clamp(held / 2, kStalledSeconds, 2 * kStalledSeconds);
  if (lastRead_ > 0 && now - lastRead_ > stalled) resumedAt_ = now;
}

void RecordStream::askTiming() {
  constexpr double kLeastApart = 0.025;  // each answer costs a round trip to the server
  if (timing_ != nullptr || stream_ == nullptr) return;
  const double now = monotonicSeconds();
  if (reading_ && now - timingAsked_ < kLeastApart) return;
  timingAsked_ = now;
  timing_ = pa_stream_update_timing_info(stream_, Entry<&RecordStream::onTiming>::call, this);
}

// The server's answer says when the newest byte it holds for the stream was
// captured; what lies between that byte and the next one read dates the latter.
// The server stamps its answer on the real-time clock, so its transport time
// is believed only within the round trip measured here on the monotonic one.
void RecordStream::onTiming(pa_stream* stream, int success) {
  pa_operation_unref(timing_);
  timing_ = nullptr;
  const pa_timing_info* info = success ? pa_stream_get_timing_info(stream) : nullptr;
  if (ended_ || info == nullptr || info->write_index_corrupt || info->read_index_corrupt) {
    return;
  }
  const double now = monotonicSeconds();
  noteStall(now);
  const double roundTrip = now - timingAsked_;
  double transport = static_cast<double>(info->transport_usec) / 1e6;
  if (!(transport <= roundTrip)) transport = roundTrip / 2;
  const double newestCaptured = now - transport - static_cast<double>(info->source_usec) / 1e6 +
                                static_cast<double>(info->sink_usec) / 1e6;
  // Before the server has written anything it cannot tell; the first read asks again.
  if (info->write_index <= 0) return;
  const double bytesPerSecond = pa_bytes_per_second(&config_.sampleSpec);
  const double queued = static_cast<double>(info->write_index - info->read_index);
  // More than the server can hold is no queue: a server that skipped what it
  // dropped for a stopped process may count it as written before it moves the
  // read index past it.
  const pa_buffer_attr* attr = pa_stream_get_buffer_attr(stream);
  if (attr != nullptr && queued > static_cast<double>(attr->maxlength)) return;
  const double start =
      newestCaptured - (queued + static_cast<double>(streamBytes_)) / bytesPerSecond;
  // A server that had no room for this process's audio while it was stopped
  // kept the oldest and dropped what came after: the gap lies where the audio
  // captured since it came back begins, not at the next byte read.
  const bool mayJump = now - resumedAt_ < kJumpWindowSeconds;
  const bool resumed = mayJump && start > streamStart_ + kFarSeconds;
  if (answerCount_ > 0 && resumed && info->read_index <= static_cast<int64_t>(streamBytes_)) {
    const double since = std::max(0.0, newestCaptured - resumedAt_) * bytesPerSecond;
    const auto gapAt = static_cast<uint64_t>(std::max(
        static_cast<double>(streamBytes_), static_cast<double>(info->write_index) - since));
    jumpByte_ = gapAt - gapAt % pa_frame_size(&config_.sampleSpec);
  }
  // A device just taken up again that plays out what it had held delivers
  // faster than the clock; a server that merely reshuffles its own buffering
  // does not, and its dates' step is no reason to drop audio.
  const bool ahead = (queued + static_cast<double>(streamBytes_)) / bytesPerSecond >
                     now - (newDeviceUntil_ - kNewDeviceSeconds) + 0.1;
  dateStream(start, mayJump, now < newDeviceUntil_ && ahead);
  if (reading_) return;
  // The first audio waits for a few answers a few milliseconds apart. A server
  // that counts its device's latency gives them all alike; one that does not
  // dates each the later the longer since its device's last block, so there
  // they go on until the server's writes have advanced twice: one of them then
  // came soon after a block was written, and dates the stream best. Then one
  // answer a read is enough.
  constexpr int kFirstAnswers = 6, kMostFirstAnswers = 100;
  constexpr double kAlike = 0.001;
  if (info->write_index != lastWriteIndex_) {
    writesSeen_ += lastWriteIndex_ >= 0;
    lastWriteIndex_ = info->write_index;
  }
  firstStarts_[0] = std::min(firstStarts_[0], start);
  firstStarts_[1] = std::max(firstStarts_[1], start);
  const bool alike = firstStarts_[1] - firstStarts_[0] <= kAlike;
  if (++firstAnswers_ < kMostFirstAnswers &&
      (firstAnswers_ < kFirstAnswers || (!alike && writesSeen_ < 2))) {
    return askSoon();
  }
  reading_ = true;
  onRead(stream, 0);
}

void RecordStream::askSoon() {
  if (soon_ != nullptr) return;
  soon_ = pa_context_rttime_new(connection_.context(), pa_rtclock_now() + 2000,
                                Entry<&RecordStream::onSoon>::call, this);
}

void RecordStream::onSoon(pa_mainloop_api* api, pa_time_event* event, const struct timeval*) {
  api->time_free(event);
  soon_ = nullptr;
  if (!ended_) askTiming();
}

void RecordStream::forgetTiming() {
  if (timing_ != nullptr) {
    pa_operation_cancel(timing_);
    pa_operation_unref(timing_);
    timing_ = nullptr;
  }
  streamBytes_ = jumpByte_ = 0;
  answerCount_ = firstAnswers_ = writesSeen_ = 0;
  lastWriteIndex_ = -1;
  firstStarts_ = {std::numeric_limits<double>::infinity(),
                  -std::numeric_limits<double>::infinity()};
  reading_ = false;
}

// An answer is mostly late: the server dates what it holds no earlier than it
// was captured, and less precisely while a device block is under way. So the
// stream's start is the earliest of the recent answers but one (one may be
// early by a slip of the server's clock). When the last few all lie on one side
// of that by more than they stray, or two lie far beyond it, while the process
// has just come back from a stop, the stream has jumped in time (audio the
// server never delivered) and only they count. At any other time nothing
// makes a stream jump, and such answers are the server's strays.
void RecordStream::dateStream(double start, bool mayJump, bool newDevice) {
  constexpr double kStraySeconds = 0.015;
  constexpr int kSameSide = 8;
  const int held = std::min(answerCount_, kAnswers);
  int later = 0, earlier = 0;
  for (int back = 0; back < std::min(held, kSameSide - 1); ++back) {
    const double answer = answers_[(answerCount_ - 1 - back) % kAnswers];
    later += answer > streamStart_ + kStraySeconds;
    earlier += answer < streamStart_ - kStraySeconds;
  }
  // One far answer may be a slip of the server's; two in a row are not.
  const bool far = held > 0 && start > streamStart_ + kFarSeconds &&
                   answers_[(answerCount_ - 1) % kAnswers] > streamStart_ + kFarSeconds;
  const bool jumped =
      mayJump && held > 0 &&
      (far ||
       (held >= kSameSide && start > streamStart_ + kStraySeconds && later == kSameSide - 1) ||
       (held >= kSameSide && start < streamStart_ - kStraySeconds && earlier == kSameSide - 1));
  if (jumped) {
    const int keep = far ? 1 : kSameSide - 1;
    std::array<double, kAnswers> recent{};
    for (int back = 0; back < keep; ++back) {
      recent[keep - 1 - back] = answers_[(answerCount_ - 1 - back) % kAnswers];
    }
    answers_ = recent;
    answerCount_ = keep;
    discontinuity_ = true;
  }
  answers_[answerCount_++ % kAnswers] = start;
  double earliest = std::numeric_limits<double>::infinity(), next = earliest;
  for (int i = 0; i < std::min(answerCount_, kAnswers); ++i) {
    next = std::max(earliest, std::min(next, answers_[i]));
    earliest = std::min(earliest, answers_[i]);
  }
  const double before = streamStart_;
  streamStart_ = answerCount_ >= 3 ? next : earliest;
  if (newDevice && held > 0 && streamStart_ < before - kStraySeconds) discontinuity_ = true;
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
    if (filled_ == 0) blockStreamByte_ = streamBytes_;
    std::size_t part = std::min(bytes, block_.size() - filled_);
    if (streamBytes_ < jumpByte_) part = std::min<std::size_t>(part, jumpByte_ - streamBytes_);
    if (data != nullptr) {
      std::memcpy(block_.data() + filled_, data, part);
      data += part;
    } else {
      std::memset(block_.data() + filled_, 0, part);  // a hole: keep the timing
    }
    filled_ += part;
    streamBytes_ += part;
    bytes -= part;
    // Audio from either side of a gap never shares a block, or a date.
    if (filled_ == block_.size() || (streamBytes_ == jumpByte_ && filled_ > 0)) handOver();
  }
}

void RecordStream::handOver() {
  const std::size_t frames = filled_ / pa_frame_size(&config_.sampleSpec);
  filled_ = 0;
  // Dated as late as possible, by the most answers. What the server held while
  // no answer came, and a moved stream's first audio, is left undated: it simply
  // continues the audio before it.
  const double capturedAt = blockStreamByte_ < jumpByte_ || !reading_
                                ? std::numeric_limits<double>::quiet_NaN()
                                : streamStart_ + static_cast<double>(blockStreamByte_) /
                                                     pa_bytes_per_second(&config_.sampleSpec);
  bool discontinuity = std::isfinite(capturedAt) && std::exchange(discontinuity_, false);
  // A moved stream's first answers date it late by up to a device block; once
  // the new device has settled, a stream found to begin a millisecond or more
  // earlier than it was placed is placed anew, once, rather than pulled in by
  // whole samples over the seconds after.
  constexpr double kPlacedWithinSeconds = 0.001;
  if (settling_ && std::isfinite(capturedAt) && monotonicSeconds() >= newDeviceUntil_) {
    settling_ = false;
    // Beyond a few milliseconds it is a step of the server's dates, not a late
    // first answer.
    constexpr double kPlacedAtMostSeconds = 0.005;
    const double earlier = placedStart_ - streamStart_;
    discontinuity |= earlier > kPlacedWithinSeconds && earlier <= kPlacedAtMostSeconds;
  }
  if (discontinuity) placedStart_ = streamStart_;
  onBlock_(std::span(block_).first(frames * pa_frame_size(&config_.sampleSpec)), nextFrame_,
           capturedAt, discontinuity);
  nextFrame_ += frames;
}

void RecordStream::onServerEvent(pa_context*, pa_subscription_event_type_t type, uint32_t) {
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  // A changed default shows as a change of the server; a device coming or
  // going may change it too.
  if (facility == PA_SUBSCRIPTION_EVENT_SERVER || kind != PA_SUBSCRIPTION_EVENT_CHANGE) {
    checkDefault();
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
  if (auto asked = askServer(connection_, *this); !asked) fail(asked.error());
}

void RecordStream::answered(Result<ServerInfo> server) {
  if (ended_) return;
  if (!server) return noDevice();
  const bool source = config_.follow == Config::Follow::defaultSource;
  const std::string& name = source ? server->defaultSourceName : server->defaultSinkName;
  if (name.empty()) return noDevice();
  const auto asked =
      source ? askSource(connection_, name, *this) : askSink(connection_, name, *this);
  if (!asked) fail(asked.error());
}

void RecordStream::answered(Result<SourceInfo> source) {
  if (!source) return noDevice();
  useDevice(source->name, describe(source->description, source->name));
}

void RecordStream::answered(Result<SinkInfo> sink) {
  if (!sink) return noDevice();
  useDevice(sink->monitorSourceName, describe(sink->description, sink->name));
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
  auto made = connect(nextSource_.c_str(), nullptr);
  if (!made) return fail(made.error());
  next_ = *made;
  pa_stream_set_read_callback(next_, Entry<&RecordStream::onFirstRead>::call, this);
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
void RecordStream::onFirstRead(pa_stream* stream, size_t bytes) {
  if (ended_ || stream != next_) return;
  // Audio of the device left behind must not share a block, or a capture time,
  // with the next one's.
  if (filled_ > 0) handOver();
  forgetTiming();
  discontinuity_ = true;
  newDeviceUntil_ = monotonicSeconds() + kNewDeviceSeconds;
  settling_ = true;
  release(stream_);
  stream_ = std::exchange(next_, nullptr);
  pa_stream_set_read_callback(stream, Entry<&RecordStream::onRead>::call, this);
  failedMoves_ = 0;
  lost_.reset();
  const bool moved = nextSource_ != source_;
  source_ = nextSource_;
  if (moved && onMove_) onMove_(nextDescription_);
  onRead(stream, bytes);
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
  giveUp_ = pa_context_rttime_new(connection_.context(), pa_rtclock_now() + kReplacementWait,
                                  Entry<&RecordStream::onGiveUp>::call, this);
  if (giveUp_ == nullptr) fail(*lost_);
}

void RecordStream::onGiveUp(pa_mainloop_api* api, pa_time_event* event, const struct timeval*) {
  api->time_free(event);
  giveUp_ = nullptr;
  if (lost_ && stream_ == nullptr && next_ == nullptr) fail(*lost_);
}

}  // namespace pulse
