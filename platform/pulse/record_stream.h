// A record stream that hands its audio over in fixed-size blocks, straight from
// the client library's event thread.
//
// How to use it (the connection's lock must NOT be held for any of this):
//   pulse::RecordStream::Config config;
//   config.sourceName = "alsa_input.usb-mic";     // or a sink's monitor; none: server default
//   config.sampleSpec = {PA_SAMPLE_FLOAT32NE, 48000, 2};
//   config.framesPerBlock = 4096;
//   pulse::RecordStream stream(connection, config,
//       [](std::span<std::byte> block, uint64_t firstFrame, double capturedAt,
//          bool discontinuity) { /* frames */ },
//       [](const pulse::Error& error) { /* the stream is over: server gone, source removed */ });
//   if (auto started = stream.start(); !started) { /* started.error().reason */ }
//
// Blocks hold `framesPerBlock` interleaved frames in the configured sample
// format, copied once from what the server delivered; only the last block of a
// device that the stream leaves may be shorter. Each comes with the moment its
// first frame was captured, on CLOCK_MONOTONIC, from the server's timing: when
// the device recorded it, or for a monitor, when its output device plays it.
// A block marked as a discontinuity does not follow on from the one before in
// time: it comes from another device, or after audio the server dropped.
// They come in order (a hole the server reports becomes silence), on libpulse's
// event thread with the connection's lock held, always into the same storage
// (block()). So a handler must never wait: whatever it cannot finish at once
// (a stalled reader of its output) it must hold itself, or the server's queue
// fills and audio is lost. Memory that runs out on the event thread, in the
// stream or in a handler (of the tool's, or what it calls), ends the stream too,
// with the reason "Out of memory". After the failure handler has run no block
// follows.
// Destroy the stream before its connection.
//
// A stream that follows a default device watches the server's defaults. When
// the default changes, or its device goes away and the server names another,
// the stream goes over to the new device in the same sample format (the server
// converts), the blocks carry on where they were, and the move handler is told
// once the new device delivers. The old device is read until then, so a move
// costs little audio; a burst of changes makes one stream at a time, each for
// the latest default, and a device only passed through is never announced. A
// stream the server ends that comes back on the same device is not a move. When
// no device is left to follow, or moving keeps failing, the failure handler
// ends it as for a fixed source. The stream takes the connection's subscription
// for this: one following stream a connection.
//
// The server holds only a few seconds of a stream that is not read (a process
// stopped for a while) and then drops audio without saying so. What it dropped
// shows as a stream that has fallen behind the clock for good, which the loss
// handler is told of.
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
    // The source's own map keeps the server from remixing; none: the default
    // map for the channel count.
    std::optional<pa_channel_map> channelMap;
    uint32_t framesPerBlock = 1600;
    // Which default device the stream follows: none keeps the source it was
    // given and fails when that goes away.
    enum class Follow { nothing, defaultSource, defaultOutput } follow = Follow::nothing;
  };
  using BlockHandler = std::function<void(std::span<std::byte> block, uint64_t firstFrame,
                                          double capturedAt, bool discontinuity)>;
  using FailureHandler = std::function<void(const Error& error)>;
  // A followed default has changed and capture now comes from the device so
  // described.
  using MoveHandler = std::function<void(const std::string& description)>;
  // Audio never arrived: the server dropped `milliseconds` of it.
  using LossHandler = std::function<void(uint64_t milliseconds)>;

  RecordStream(PulseConnection& connection, Config config, BlockHandler onBlock,
               FailureHandler onFailure, MoveHandler onMove = nullptr,
               LossHandler onLoss = nullptr);
  ~RecordStream();
  RecordStream(const RecordStream&) = delete;
  RecordStream& operator=(const RecordStream&) = delete;

  // Connects the stream and waits until the server has accepted it; on failure
  // nothing is delivered and the failure handler is not called. Call once.
  Result<> start();

  // Where every block is delivered: `framesPerBlock` frames, valid for the
  // stream's lifetime.
  std::span<std::byte> block() { return block_; }

 private:
  // The callback of the event thread that runs `method` on the stream its
  // userdata names: the one way in from the event thread, where memory that
  // runs out (here or in a handler) fails the stream.
  template <auto method>
  struct Entry;

  void onState(pa_stream* stream);
  void onRead(pa_stream* stream, size_t bytes);
  // Makes and connects a stream on `source` (none: the server's default).
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
  // Makes the next stream, or drops one made for a device no longer wanted.
  void move();
  void nextChanged(pa_stream_state_t state);
  void onFirstRead(pa_stream* stream, size_t bytes);
  void watchForLoss();
  // Opens the window in which the stream's start may jump, when the process
  // has just come back from a stop.
  void noteStall(double now);
  // Asks the server where the stream stands, unless a question is under way.
  void askTiming();
  void onTiming(pa_stream* stream, int success);
  // Takes in another answer's start of the stream; only just after this process
  // was stopped may the stream have jumped in time, and only while a moved
  // stream is new may it begin earlier than its first answers said.
  void dateStream(double start, bool mayJump, bool newDevice);
  // Asks again in a few milliseconds.
  void askSoon();
  void onSoon(pa_mainloop_api* api, pa_time_event* event, const struct timeval*);
  // Cancels a question under way and starts over on the next stream.
  void forgetTiming();
  // Hands over what the current block holds, short or not.
  void handOver();
  // Appends `bytes` delivered bytes (`data` null: a hole) and hands over every
  // block they complete.
  void take(const std::byte* data, std::size_t bytes);
  // The one teardown, whatever the stream's state; leaves `stream` null.
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
  // When byte 0 of the stream on the server was captured, as each recent answer
  // of the server puts it (they stray, by a device's block or more, either
  // way), and the second earliest of them. A new stream waits for answers that
  // tell well before any of its audio is read.
  uint64_t streamBytes_ = 0;
  static constexpr int kAnswers = 64;
  std::array<double, kAnswers> answers_{};
  int answerCount_ = 0;
  bool reading_ = false;
  int firstAnswers_ = 0, writesSeen_ = 0;
  int64_t lastWriteIndex_ = -1;
  std::array<double, 2> firstStarts_{1e300, -1e300};  // the earliest and latest so far
  double streamStart_ = 0;
  // Where a gap inside what the server holds lies: the audio before it, which
  // the server kept while no answer came, is left undated.
  uint64_t jumpByte_ = 0;
  bool discontinuity_ = false;  // the next block handed over follows a jump or a move
  double newDeviceUntil_ = 0;   // monotonic seconds: while a move's stream is new
  bool settling_ = false;       // and its placement is to be checked once after that
  double placedStart_ = 0;      // the stream's start when the last discontinuity was placed
  double lastRead_ = 0, resumedAt_ = -1e9;  // monotonic seconds
  pa_operation* timing_ = nullptr;
  pa_time_event* soon_ = nullptr;
  double timingAsked_ = 0;
  // Following the default.
  std::string source_;  // what the stream records, or last recorded (empty: the server's default)
  // The stream being made for a move, until it delivers; then it is stream_.
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
  // Watching for audio the server dropped: seconds behind the clock, at their
  // least over each few seconds.
  double clockStart_ = -1;        // when frame 0 would have been recorded
  std::optional<double> behind_;  // the least of the last window
  double windowLeast_ = 1e300;
  double windowEnd_ = 0;
};

}  // namespace pulse
