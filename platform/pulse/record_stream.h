// A record stream that hands its audio over in fixed-size blocks, straight from
// the client library's event thread.
//
// How to use it (the connection's lock must NOT be held for any of this):
//   pulse::RecordStream::Config config;
//   config.sourceName = "alsa_input.usb-mic";     // or a sink's monitor; none: server default
//   config.sampleSpec = {PA_SAMPLE_FLOAT32NE, 48000, 2};
//   config.framesPerBlock = 4096;
//   pulse::RecordStream stream(connection, config,
//       [](std::span<std::byte> block, uint64_t firstFrame) { /* interleaved frames */ },
//       [](const pulse::Error& error) { /* the stream is over: server gone, source removed */ });
//   if (auto started = stream.start(); !started) { /* started.error().reason */ }
//
// Blocks hold exactly `framesPerBlock` interleaved frames in the configured
// sample format, copied once from what the server delivered. They come in order
// and without gaps (a hole the server reports becomes silence), on libpulse's
// event thread with the connection's lock held, always into the same storage
// (block()). So a handler must never wait: whatever it cannot finish at once
// (a stalled reader of its output) it must hold itself, or the server's queue
// fills and audio is lost. After the failure handler has run no block follows.
// Destroy the stream before its connection.
#pragma once

#include <pulse/channelmap.h>
#include <pulse/sample.h>
#include <pulse/stream.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/pulse/pulse_connection.h"
#include "platform/pulse/result.h"

namespace pulse {

class RecordStream {
 public:
  struct Config {
    std::string streamName = "capture";
    std::optional<std::string> sourceName;  // none: the server's default source
    pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, 16000, 1};
    // The source's own map keeps the server from remixing; none: the default
    // map for the channel count.
    std::optional<pa_channel_map> channelMap;
    uint32_t framesPerBlock = 1600;
    // Moving to another source would silently change what is captured, so by
    // default the stream fails when its source goes away.
    pa_stream_flags_t flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
  };
  using BlockHandler = std::function<void(std::span<std::byte> block, uint64_t firstFrame)>;
  using FailureHandler = std::function<void(const Error& error)>;

  RecordStream(PulseConnection& connection, Config config, BlockHandler onBlock,
               FailureHandler onFailure);
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
  static void onState(pa_stream* stream, void* userdata);
  static void onRead(pa_stream* stream, size_t bytes, void* userdata);
  // Appends `bytes` delivered bytes (`data` null: a hole) and hands over every
  // block they complete.
  void take(const std::byte* data, std::size_t bytes);
  // The one teardown, for a stream that failed to start and at destruction.
  void release();

  PulseConnection& connection_;
  const Config config_;
  const BlockHandler onBlock_;
  const FailureHandler onFailure_;

  // Touched under the connection's lock only.
  pa_stream* stream_ = nullptr;
  bool started_ = false;  // start() succeeded: from now on a failure is reported
  bool ended_ = false;    // the failure handler has run
  std::vector<std::byte> block_;
  std::size_t filled_ = 0;
  uint64_t nextFrame_ = 0;
};

}  // namespace pulse
