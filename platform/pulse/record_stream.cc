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

// A server moving the stream itself would silently change what is captured: it fails instead, and
// a following stream picks its next device.
constexpr auto kFlags =
    static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);

// An answer this much later than the stream's start tells of a gap at once.
constexpr double kFarSeconds = 0.05;
// Reads this far apart, or half as long as the server holds audio when that is more (at most twice
// this), mean the server may have dropped some; a loaded machine's shorter stalls cost nothing.
constexpr double kStalledSeconds = 1.0;
// Only this long after a stall may answers show that the stream jumped; otherwise they are strays.
constexpr double kJumpWindowSeconds = 5.0;
// For this long after a move, audio may date from well before the first answers said: a device just
// taken up again may play out what it had held.
constexpr double kNewDeviceSeconds = 1.0;
// Audio read back from a stall waits this long at most for the answers that place its gap.
constexpr double kMostHeldSeconds = 0.25;

constexpr int kMostFailedMoves = 3;

// How long a stream whose device went away waits for another: the server may name the new default
// a moment after it removed the old one.
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
    // The server cannot be told to drop a stream before it has made it, and one merely let go would
    // stay there: it is ended once made, and holds its reference until then.
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
  // Fragments of one block, so the first arrives about a block's duration after start.
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
  // The device went away, or the server ended the stream: the default it now names decides.
  lost_ = error;
  forgetTiming();
  release(stream_);
  checkDefault();
}

void RecordStream::onRead(pa_stream* stream, size_t) {
  const double now = monotonicSeconds();
  noteStall(now);
  lastRead_ = now;
  // Whatever waits is read before libpulse runs out of room, or at most a moment late.
  if (readUntil_) {
    const pa_buffer_attr* attr = pa_stream_get_buffer_attr(stream);
    if (now - resumedAt_ > kMostHeldSeconds ||
        (attr != nullptr && pa_stream_readable_size(stream) > attr->maxlength / 2)) {
      readUntil_.reset();
    }
  }
  gapUnplaced_ &= now - resumedAt_ < kJumpWindowSeconds;
  // The very first audio waits with the server until its capture time is known; a moved stream's
  // is read at once, undated, so that a move never holds up the audio.
  if (reading_ || nextFrame_ > 0) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    while (!ended_ && pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
      if (readUntil_ && streamBytes_ + bytes > *readUntil_) break;
      take(static_cast<const std::byte*>(data), bytes);
      pa_stream_drop(stream);
    }
  }
  if (ended_) return;
  askTiming();
  if (onLoss_) watchForLoss();
}

// Reads come many times a second; a long silence means this process was stopped, or starved.
void RecordStream::noteStall(double now) {
  const pa_buffer_attr* attr = stream_ != nullptr ? pa_stream_get_buffer_attr(stream_) : nullptr;
  const double held =
      attr != nullptr ? attr->maxlength / pa_bytes_per_second(&config_.sampleSpec) : 0.0;
  const double stalled = std::clamp(held / 2, kStalledSeconds, 2 * kStalledSeconds);
  if (lastRead_ > 0 && now - lastRead_ > stalled) {
    resumedAt_ = now;
    gapUnplaced_ = reading_;
    if (reading_) readUntil_ = streamBytes_;
    sentBeforeSkip_.reset();
  }
}

void RecordStream::askTiming() {
  constexpr double kLeastApart = 0.025;  // each answer costs a round trip to the server
  if (timing_ != nullptr || stream_ == nullptr) return;
  const double now = monotonicSeconds();
  if (reading_ && !readUntil_ && now - timingAsked_ < kLeastApart) return;
  timingAsked_ = now;
  timing_ = pa_stream_update_timing_info(stream_, Entry<&RecordStream::onTiming>::call, this);
}

// The answer dates the newest byte the server holds; the bytes queued before it date the next one
// read. Its transport time comes from the real-time clock, so it is believed only within the round
// trip measured here.
void RecordStream::onTiming(pa_stream* stream, int success) {
  pa_operation_unref(timing_);
  timing_ = nullptr;
  const pa_timing_info* info = success ? pa_stream_get_timing_info(stream) : nullptr;
  if (ended_ || info == nullptr || info->write_index_corrupt || info->read_index_corrupt) {
    return;
  }
  const double now = monotonicSeconds();
  noteStall(now);
  // One asked before a stall tells nothing of its gap.
  if (gapUnplaced_ && timingAsked_ < resumedAt_) return askTiming();
  const double roundTrip = now - timingAsked_;
  double transport = static_cast<double>(info->transport_usec) / 1e6;
  if (!(transport <= roundTrip)) transport = roundTrip / 2;
  const double newestCaptured = now - transport - static_cast<double>(info->source_usec) / 1e6 +
                                static_cast<double>(info->sink_usec) / 1e6;
  // Before the server has written anything it cannot tell; the first read asks again.
  if (info->write_index <= 0) return;
  const double bytesPerSecond = pa_bytes_per_second(&config_.sampleSpec);
  const double queued = static_cast<double>(info->write_index - info->read_index);
  const auto passedOver = static_cast<uint64_t>(
      std::max<int64_t>(0, info->read_index - static_cast<int64_t>(streamBytes_)));
  // More than the server can hold is no queue: a server that passes over what it could not hold
  // for a stopped process counts it as written before it moves the read index past it, and does
  // so only once it sends again, after what it had sent before this answer. One that kept the
  // oldest audio is sending it: what it sent before the newest came is read on meanwhile.
  const pa_buffer_attr* attr = pa_stream_get_buffer_attr(stream);
  if (attr != nullptr && queued > static_cast<double>(attr->maxlength)) {
    if (gapUnplaced_) {
      sentBeforeSkip_ = streamBytes_ + pa_stream_readable_size(stream);
      const double keptOldest = static_cast<double>(info->write_index - passedOver) -
                                capturedSinceResumed(newestCaptured);
      const double surelyBefore =
          std::clamp(keptOldest, 0.0, static_cast<double>(*sentBeforeSkip_));
      if (readUntil_) readUntil_ = std::max(*readUntil_, static_cast<uint64_t>(surelyBefore));
      onRead(stream, 0);  // and asks again
    }
    return;
  }
  const double start =
      newestCaptured - (queued + static_cast<double>(streamBytes_)) / bytesPerSecond;
  const bool mayJump = now - resumedAt_ < kJumpWindowSeconds;
  const bool resumed = mayJump && start > streamStart_ + kFarSeconds;
  const bool gapFound = answerCount_ > 0 && resumed;
  if (gapFound) placeGap(*info, passedOver, newestCaptured, attr != nullptr ? attr->fragsize : 0);
  if (!resumed) passedOver_ = passedOver;  // what it had passed over before the stall
  // A device playing out what it had held delivers faster than the clock; a server that merely
  // reshuffles its buffering does not, and its dates' step is no reason to drop audio.
  const bool ahead = (queued + static_cast<double>(streamBytes_)) / bytesPerSecond >
                     now - (newDeviceUntil_ - kNewDeviceSeconds) + 0.1;
  constexpr double kPromptSeconds = 0.01;
  const bool prompt = roundTrip <= kPromptSeconds;
  // One that came back promptly places it at once; a slow one may be a slip, and waits for another.
  dateStream(now, start, prompt, mayJump, now < newDeviceUntil_ && ahead, gapFound && prompt);
  gapUnplaced_ = false;
  if (readUntil_) {
    readUntil_.reset();
    return onRead(stream, 0);  // the gap is placed, or there is none
  }
  if (reading_) return;
  // The first audio waits for a few answers milliseconds apart. A server that counts its device's
  // latency gives them alike; one that does not dates each the later the longer since the device's
  // last block, so asking goes on until its writes have advanced twice: one answer then came soon
  // after a block was written. After that, one answer a read is enough.
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

// Audio the server dropped while this process was stopped leaves a gap in what it held. A server
// out of room either kept the oldest audio, and the gap lies where what was captured since this
// process came back begins; or it passed over all but its newest fragment when it sent again, and
// the gap follows what it had sent before (an answer then showed more queued than it can hold), or
// else lies a fragment before what was captured since.
void RecordStream::placeGap(const pa_timing_info& info, uint64_t passedOver, double newestCaptured,
                            uint32_t fragment) {
  const double newest = static_cast<double>(info.write_index) - static_cast<double>(passedOver);
  double gapAt = newest - capturedSinceResumed(newestCaptured);
  if (passedOver > passedOver_) {
    gapAt = sentBeforeSkip_ ? static_cast<double>(*sentBeforeSkip_) : gapAt - fragment;
  }
  const auto at = static_cast<uint64_t>(
      std::clamp(gapAt, static_cast<double>(streamBytes_), std::max(newest, 0.0)));
  jumpByte_ = std::max(at - at % pa_frame_size(&config_.sampleSpec), streamBytes_);
}

double RecordStream::capturedSinceResumed(double newestCaptured) const {
  return std::max(0.0, newestCaptured - resumedAt_) * pa_bytes_per_second(&config_.sampleSpec);
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
  streamBytes_ = jumpByte_ = passedOver_ = 0;
  gapUnplaced_ = false;
  readUntil_.reset();
  sentBeforeSkip_.reset();
  answerCount_ = firstAnswers_ = writesSeen_ = 0;
  drift_ = 0;  // another device may keep other time
  driftSince_.reset();
  lastWriteIndex_ = -1;
  firstStarts_ = {std::numeric_limits<double>::infinity(),
                  -std::numeric_limits<double>::infinity()};
  reading_ = false;
}

// The server dates audio no earlier than its capture, and less precisely mid device block, so the
// start is the earliest recent answer but one (one may be early by a slip of its clock). Just after
// a stop, one far beyond that `placed` the gap in what the server held, the last few all on one
// side by more than they stray, or two far beyond, mean the stream jumped (audio never delivered)
// and only they count: the audio after the gap is dated by them. At other times they are strays,
// but for answers that came back promptly (a stray is late by no more than its round trip) and all
// later for half a second: a server that let time pass without delivering audio, as a graph that
// missed its deadlines does. One catching up on audio it held back answers later for less.
void RecordStream::dateStream(double now, double start, bool prompt, bool mayJump, bool newDevice,
                              bool placed) {
  constexpr double kStraySeconds = 0.015;
  constexpr double kLostAfterSeconds = 0.5;
  const double drifted = drift_;
  // Past a stream's first answers and a move's first second, when the dates are steady.
  const bool steady = reading_ && now >= newDeviceUntil_;
  constexpr int kSameSide = 8;
  const int held = std::min(answerCount_, kAnswers);
  int later = 0, earlier = 0;
  for (int back = 0; back < std::min(held, kSameSide - 1); ++back) {
    const double answer = answers_[(answerCount_ - 1 - back) % kAnswers].start;
    later += answer > streamStart_ + kStraySeconds;
    earlier += answer < streamStart_ - kStraySeconds;
  }
  int laterFor = 0;  // the answers before this one, promptly later, over kLostAfterSeconds
  for (int back = 0; steady && prompt && start > streamStart_ + kStraySeconds && back < held;
       ++back) {
    const Answer& answer = answers_[(answerCount_ - 1 - back) % kAnswers];
    if (!answer.prompt || answer.start <= streamStart_ + kStraySeconds) break;
    if (now - answer.at >= kLostAfterSeconds) {
      laterFor = back + 1;
      break;
    }
  }
  const bool lost = laterFor >= kSameSide / 2;
  // One far answer may be a slip of the server's; two in a row are not.
  const bool far = held > 0 && start > streamStart_ + kFarSeconds &&
                   answers_[(answerCount_ - 1) % kAnswers].start > streamStart_ + kFarSeconds;
  const bool jumped =
      placed || lost ||
      (mayJump && held > 0 &&
       (far ||
        (held >= kSameSide && start > streamStart_ + kStraySeconds && later == kSameSide - 1) ||
        (held >= kSameSide && start < streamStart_ - kStraySeconds && earlier == kSameSide - 1)));
  if (jumped) {
    const int keep = placed ? 0 : mayJump && far ? 1 : lost ? laterFor : kSameSide - 1;
    std::array<Answer, kAnswers> recent{};
    for (int back = 0; back < keep; ++back) {
      recent[keep - 1 - back] = answers_[(answerCount_ - 1 - back) % kAnswers];
    }
    answers_ = recent;
    answerCount_ = keep;
    discontinuity_ = true;
    driftSince_.reset();
  }
  // Answers that stopped for a while (a stopped process) measure nothing across the pause.
  if (answerCount_ > 0 && now - answers_[(answerCount_ - 1) % kAnswers].at > kStalledSeconds) {
    driftSince_.reset();
  }
  answers_[answerCount_++ % kAnswers] = {now, start, prompt};
  // The earliest of answers spread over seconds lags a drifting device. Its drift is measured on
  // that earliest, unmoved (it lags alike throughout), over seconds, so that the server's strays
  // and steps count little (and count only as much as the answers' age); a step too large for a
  // device's drift starts the measure anew.
  constexpr double kDriftAfterSeconds = 8, kDriftRenewedSeconds = 60, kMostDrift = 1000e-6;
  constexpr int kDriftAfterAnswers = 16;  // the first few lie higher
  const double unmoved = secondEarliest(now, 0);
  const double span = driftSince_ ? now - driftSince_->at : 0.0;
  const double drift = span >= kDriftAfterSeconds ? (unmoved - driftSince_->start) / span : 0.0;
  if (answerCount_ >= kDriftAfterAnswers &&
      (!driftSince_ || span >= kDriftRenewedSeconds || std::abs(drift) > kMostDrift)) {
    driftSince_ = {now, unmoved};
  } else if (span >= kDriftAfterSeconds && std::abs(drift) <= kMostDrift) {
    drift_ = drift;
  }
  const double before = streamStart_;
  streamStart_ = secondEarliest(now, drift_);
  // The earliest answer but one moving later at once, and for good (the rest of the window had
  // moved before it), tells of time the server let pass without delivering audio: a graph that
  // missed its deadlines on a busy machine. A gap like any other; measured on the drift as it was,
  // whose update alone moves the start a little.
  constexpr double kLostSeconds = 0.005;
  if (steady && held > 0 && secondEarliest(now, drifted) - before > kLostSeconds) {
    discontinuity_ = true;
  }
  playedOut_ |= newDevice;
  if (newDevice && held > 0 && streamStart_ < before - kStraySeconds) discontinuity_ = true;
}

double RecordStream::secondEarliest(double now, double drift) const {
  double earliest = std::numeric_limits<double>::infinity(), next = earliest;
  for (int i = 0; i < std::min(answerCount_, kAnswers); ++i) {
    const double start = answers_[i].start + drift * (now - answers_[i].at);
    next = std::max(earliest, std::min(next, start));
    earliest = std::min(earliest, start);
  }
  return answerCount_ >= 3 ? next : earliest;
}

// A stream that falls behind and catches up lost nothing; one whose least lag over a window (short
// enough to hide clock drift) grew more than a move or a busy machine explains lost the difference.
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
  // Dated as late as possible, by the most answers. What the server held from before a stall's gap
  // (all it sends until an answer places the gap), and a moved stream's first audio, is undated: it
  // continues the audio before it, at the pace measured then; the dates from before it were
  // stopped with the process.
  const bool beforeGap = blockStreamByte_ < jumpByte_ || gapUnplaced_;
  const double capturedAt = beforeGap || !reading_
                                ? std::numeric_limits<double>::quiet_NaN()
                                : streamStart_ + static_cast<double>(blockStreamByte_) /
                                                     pa_bytes_per_second(&config_.sampleSpec);
  bool discontinuity = std::isfinite(capturedAt) && std::exchange(discontinuity_, false);
  // A moved stream's first answers date it late by up to a device block: once settled, it is placed
  // anew, once, rather than pulled in by whole samples over the seconds after. So is one whose
  // device played out what it had held, by whatever its dates stepped back too little to mark.
  constexpr double kPlacedWithinSeconds = 0.001;
  if (settling_ && std::isfinite(capturedAt) && monotonicSeconds() >= newDeviceUntil_) {
    settling_ = false;
    // Otherwise, beyond a few milliseconds it is a step of the server's dates, not a late answer.
    constexpr double kPlacedAtMostSeconds = 0.005;
    const double earlier = placedStart_ - streamStart_;
    discontinuity |= earlier > kPlacedWithinSeconds &&
                     earlier <= (playedOut_ ? kFarSeconds : kPlacedAtMostSeconds);
  }
  if (discontinuity) placedStart_ = streamStart_;
  onBlock_(std::span(block_).first(frames * pa_frame_size(&config_.sampleSpec)), nextFrame_,
           capturedAt, discontinuity);
  nextFrame_ += frames;
}

void RecordStream::onServerEvent(pa_context*, pa_subscription_event_type_t type, uint32_t) {
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  // A changed default shows as a change of the server; a device coming or going may change it too.
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

// A change during a move waits for the stream being made (the server cannot drop it before), so a
// burst of changes costs one stream for its last default instead of one for each.
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

// Coming back to the device the old stream recorded (after the server ended it) is no move.
void RecordStream::onFirstRead(pa_stream* stream, size_t bytes) {
  if (ended_ || stream != next_) return;
  if (filled_ > 0) handOver();
  forgetTiming();
  discontinuity_ = true;
  newDeviceUntil_ = monotonicSeconds() + kNewDeviceSeconds;
  settling_ = true;
  playedOut_ = false;
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
  // Capture goes on from a device still there; a lost one ends it unless another is named soon.
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
