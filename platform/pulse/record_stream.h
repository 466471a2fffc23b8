// A record stream that hands its audio to the caller in fixed-size blocks on a
// thread of its own.
//
// How to use it (the connection's lock must NOT be held for any of this):
//   pulse::RecordStream::Config config;
//   config.sourceName = "alsa_input.usb-mic";     // or a sink's monitor; none: server default
//   config.sampleSpec = {PA_SAMPLE_FLOAT32NE, 48000, 2};
//   config.framesPerBlock = 4096;
//   pulse::RecordStream stream(connection, config,
//       [](std::span<const std::byte> block, uint64_t firstFrame) { /* interleaved frames */ },
//       [](const std::string& reason) { /* the stream is over: server gone, source removed */ });
//   if (auto refused = stream.start()) { /* *refused is the server's reason */ }
//
// Blocks hold exactly `framesPerBlock` interleaved frames in the configured sample format,
// come in order and without gaps (a hole the server reports becomes silence),
// and reach the handler on the stream's delivery thread, never on libpulse's
// event thread, with no lock held. A handler that stalls only stalls that
// thread: audio keeps arriving into memory (up to kMaxBufferedBytes here, then
// up to the server's own buffer) and is delivered once the handler returns.
// After the failure handler has been called no block follows. Destroy the
// stream before its connection; the destructor waits for a running handler.
#pragma once

#include <pulse/channelmap.h>
#include <pulse/sample.h>
#include <pulse/stream.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/pulse/pulse_connection.h"

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
  using BlockHandler = std::function<void(std::span<const std::byte> block, uint64_t firstFrame)>;
  using FailureHandler = std::function<void(const std::string& reason)>;

  // Audio held in this process while the handler is behind.
  static constexpr std::size_t kMaxBufferedBytes = 64u << 20;

  RecordStream(PulseConnection& connection, Config config, BlockHandler onBlock,
               FailureHandler onFailure);
  ~RecordStream();
  RecordStream(const RecordStream&) = delete;
  RecordStream& operator=(const RecordStream&) = delete;

  // Connects the stream and waits until the server has accepted it. Returns the
  // server's reason when it refuses (or the connection is gone); then nothing is
  // delivered. Call once.
  std::optional<std::string> start();

 private:
  static void onState(pa_stream* stream, void* userdata);
  static void onRead(pa_stream* stream, size_t bytes, void* userdata);
  void drainServerQueue();  // lock held
  void deliverBlocks();     // the delivery thread

  PulseConnection& connection_;
  Config config_;
  BlockHandler onBlock_;
  FailureHandler onFailure_;
  std::size_t blockBytes_;

  // Guarded by the connection's lock.
  pa_stream* stream_ = nullptr;
  std::vector<std::byte> pending_;  // received, not yet delivered
  std::size_t pendingStart_ = 0;
  bool stopping_ = false;

  std::thread delivery_;
};

}  // namespace pulse
