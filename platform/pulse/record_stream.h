// Blocks of `framesPerBlock` interleaved frames, copied once into block(); only the last block from
// a device the stream leaves may be shorter. Never use the stream with the connection's lock held;
// destroy it before the connection. Handlers run on libpulse's event thread with the lock held, so
// they must never wait: what one cannot finish at once (a stalled reader) it holds itself, or the
// server's queue fills and audio is lost. capturedAt: CLOCK_MONOTONIC seconds at which the first
// frame was recorded (for a monitor: played), from the server's timing. A discontinuity follows a
// move or audio the server dropped; a hole the server reports comes as silence. Memory that runs
// out on the event thread, here or in a handler, ends the stream with "Out of memory"; no block
// follows the failure handler.
//
// A following stream goes over to the new default in the same sample format (the server converts)
// and reads the old device until the new one delivers; then the move handler is told. A burst of
// changes makes one stream at a time, and a device only passed through is never announced. It takes
// the connection's subscription: one following stream a connection.
//
// A stream not read for a while (a stopped process) loses what the server cannot hold, and the
// server does not say so: the loss handler is told.
#pragma once

#include <pulse/channelmap.h>
#include <pulse/sample.h>
#include <pulse/stream.h>
#include <pulse/subscribe.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/pulse/pulse_connection.h"
#include "platform/pulse/result.h"
#include "platform/pulse/server_queries.h"

namespace pulse {

class RecordStream : private Answers {
 public:
  struct Config {
    std::string streamName = "capture";
    std::optional<std::string> sourceName;  // none: the server's default source
    pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, 16000, 1};
    // The source's own map keeps the server from remixing; none: the default for the channel count.
    std::optional<pa_channel_map> channelMap;
    uint32_t framesPerBlock = 1600;
    // `nothing` keeps the source given and fails when it goes away.
    enum class Follow { nothing, defaultSource, defaultOutput } follow = Follow::nothing;
  };
  using BlockHandler = std::function<void(std::span<std::byte> block, uint64_t firstFrame,
                                          double capturedAt, bool discontinuity)>;
  using FailureHandler = std::function<void(const Error& error)>;
  using MoveHandler = std::function<void(const std::string& description)>;
  using LossHandler = std::function<void(uint64_t milliseconds)>;

  RecordStream(PulseConnection& connection, Config config, BlockHandler onBlock,
               FailureHandler onFailure, MoveHandler onMove = nullptr,
               LossHandler onLoss = nullptr);
  ~RecordStream();
  RecordStream(const RecordStream&) = delete;
  RecordStream& operator=(const RecordStream&) = delete;

  // Waits until the server has accepted the stream. On failure nothing is delivered and the failure
  // handler is not called. Call once.
  Result<> start();

  // Valid for the stream's lifetime.
  std::span<std::byte> block() { return block_; }

 private:
  // The one way in from the event thread, where memory that runs out fails the stream.
  template <auto method>
  struct Entry;

  void onState(pa_stream* stream);
  void onRead(pa_stream* stream, size_t bytes);
  Result<pa_stream*> connect(const char* source, const pa_channel_map* map);
  void fail(const Error& error);
  void ranOut(const Error& error) override { fail(error); }

  // Following the default: all on the event thread.
  void onServerEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t index);
  void checkDefault();
  void answered(Result<ServerInfo> server) override;
  void answered(Result<SourceInfo> source) override;
  void answered(Result<SinkInfo> sink) override;
  void useDevice(const std::string& source, const std::string& description);
  void noDevice();
  void waitForAnotherDevice(bool wait);
  void onGiveUp(pa_mainloop_api* api, pa_time_event* event, const struct timeval*);
  void move();
  void nextChanged(pa_stream_state_t state);
  void onFirstRead(pa_stream* stream, size_t bytes);
  void watchForLoss();
  void noteStall(double now);
  void askTiming();
  void placeGap(const pa_timing_info& info, uint64_t passedOver, double newestCaptured,
                uint32_t fragment);
  double capturedSinceResumed(double newestCaptured) const;  // in bytes
  void onTiming(pa_stream* stream, int success);
  void dateStream(double now, double start, bool prompt, bool mayJump, bool newDevice, bool placed);
  double secondEarliest(double now, double drift) const;
  void askSoon();
  void onSoon(pa_mainloop_api* api, pa_time_event* event, const struct timeval*);
  void forgetTiming();
  void handOver();
  // `data` null: a hole of `bytes` zeros.
  void take(const std::byte* data, std::size_t bytes);
  static void release(pa_stream*& stream);

  PulseConnection& connection_;
  const Config config_;
  const BlockHandler onBlock_;
  const FailureHandler onFailure_;
  const MoveHandler onMove_;
  const LossHandler onLoss_;

  // Touched under the connection's lock only.
  pa_stream* stream_ = nullptr;
  bool started_ = false;  // start() succeeded: from now on a failure is reported
  bool ended_ = false;    // the failure handler has run
  std::vector<std::byte> block_;
  std::size_t filled_ = 0;
  uint64_t nextFrame_ = 0;
  uint64_t blockStreamByte_ = 0;  // where the current block starts in the stream
  // answers_: when the stream's byte 0 was captured, as each recent answer puts it (they stray by a
  // device's block or more, either way), and when it came. A device off the system clock moves them
  // by its drift; streamStart_ is the second earliest, each moved on to now.
  struct Answer {
    double at, start;
    bool prompt = false;  // back within a few milliseconds of asking
  };
  uint64_t streamBytes_ = 0;
  static constexpr int kAnswers = 64;
  std::array<Answer, kAnswers> answers_{};
  int answerCount_ = 0;
  double drift_ = 0;                  // seconds the start moves a second
  std::optional<Answer> driftSince_;  // where the drift is measured from
  bool reading_ = false;
  int firstAnswers_ = 0, writesSeen_ = 0;
  int64_t lastWriteIndex_ = -1;
  std::array<double, 2> firstStarts_{1e300, -1e300};  // the earliest and latest so far
  double streamStart_ = 0;
  // A gap inside what the server holds: the audio before it is undated.
  uint64_t jumpByte_ = 0;
  bool gapUnplaced_ = false;  // back from a stall, until an answer shows where a gap lies, or none
  bool discontinuity_ = false;  // the next block handed over follows a jump or a move
  double newDeviceUntil_ = 0;   // monotonic seconds: while a move's stream is new
  bool settling_ = false;       // and its placement is to be checked once after that
  bool playedOut_ = false;      // its device delivered faster than the clock meanwhile
  double placedStart_ = 0;      // the stream's start when the last discontinuity was placed
  double lastRead_ = 0, resumedAt_ = -1e9;  // monotonic seconds
  // Back from a stall, what the server sends waits until an answer shows where its gap lies, but
  // for what surely came before it.
  std::optional<uint64_t> readUntil_;
  // What the server had sent before an answer showed it about to pass over what it dropped.
  std::optional<uint64_t> sentBeforeSkip_;
  uint64_t passedOver_ = 0;  // bytes the server's read index has passed over, as last answered
  pa_operation* timing_ = nullptr;
  pa_time_event* soon_ = nullptr;
  double timingAsked_ = 0;
  std::string source_;  // what the stream records, or last recorded (empty: the server's default)
  // Being made for a move, until it delivers; then it is stream_.
  pa_stream* next_ = nullptr;
  std::string nextSource_;
  std::string nextDescription_;
  std::string wanted_;  // the default's source, as last heard
  std::string wantedDescription_;
  std::optional<Error> lost_;        // the device went away; waiting to hear of another
  bool asking_ = false;              // a query of the defaults is under way
  bool askAgain_ = false;            // and something changed meanwhile
  int failedMoves_ = 0;              // since the last device that delivered
  pa_time_event* giveUp_ = nullptr;  // when a lost device has not been replaced in time
  // Audio the server dropped: seconds behind the clock, at their least over each few seconds.
  double clockStart_ = -1;        // when frame 0 would have been recorded
  std::optional<double> behind_;  // the least of the last window
  double windowLeast_ = 1e300;
  double windowEnd_ = 0;
};

}  // namespace pulse
