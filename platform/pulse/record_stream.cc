#include "platform/pulse/record_stream.h"

#include <pulse/error.h>

#include <algorithm>
#include <cstring>

namespace pulse {
namespace {

bool streamFailed(pa_stream* stream) { return !PA_STREAM_IS_GOOD(pa_stream_get_state(stream)); }

}  // namespace

RecordStream::RecordStream(PulseConnection& connection, Config config, BlockHandler onBlock,
                           FailureHandler onFailure)
    : connection_(connection),
      config_(std::move(config)),
      onBlock_(std::move(onBlock)),
      onFailure_(std::move(onFailure)),
      blockBytes_(static_cast<std::size_t>(config_.framesPerBlock) *
                  pa_frame_size(&config_.sampleSpec)) {}

RecordStream::~RecordStream() {
  {
    auto held = connection_.lock();
    stopping_ = true;
    connection_.signal();
  }
  if (delivery_.joinable()) delivery_.join();
  auto held = connection_.lock();
  if (stream_ != nullptr) {
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    if (!streamFailed(stream_)) pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
  }
}

std::optional<std::string> RecordStream::start() {
  if (blockBytes_ == 0 || !pa_sample_spec_valid(&config_.sampleSpec)) {
    return std::string(pa_strerror(PA_ERR_INVALID));
  }
  auto held = connection_.lock();
  if (!connection_.alive()) return connection_.errorText();

  const pa_channel_map* map = config_.channelMap ? &*config_.channelMap : nullptr;
  stream_ =
      pa_stream_new(connection_.context(), config_.streamName.c_str(), &config_.sampleSpec, map);
  if (stream_ == nullptr) return connection_.errorText();
  pa_stream_set_state_callback(stream_, onState, this);
  pa_stream_set_read_callback(stream_, onRead, this);

  // The first block should arrive about one block's duration after start, so
  // the server is asked to hand over audio in blocks of that size. The queue
  // length is left to the server's maximum: it is what absorbs a stalled reader
  // once this process's own buffer is full.
  const uint32_t blockBytes = static_cast<uint32_t>(std::min<std::size_t>(blockBytes_, UINT32_MAX));
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<uint32_t>(-1);
  attributes.tlength = static_cast<uint32_t>(-1);
  attributes.prebuf = static_cast<uint32_t>(-1);
  attributes.minreq = static_cast<uint32_t>(-1);
  attributes.fragsize = blockBytes;

  const char* source = config_.sourceName ? config_.sourceName->c_str() : nullptr;
  if (pa_stream_connect_record(stream_, source, &attributes, config_.flags) < 0) {
    return connection_.errorText();
  }
  const bool ready = connection_.waitUntil(
      [this] { return pa_stream_get_state(stream_) == PA_STREAM_READY || streamFailed(stream_); });
  if (!ready || pa_stream_get_state(stream_) != PA_STREAM_READY) {
    std::string reason = ready || !connection_.alive() ? connection_.errorText()
                                                       : std::string(pa_strerror(PA_ERR_TIMEOUT));
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    if (!streamFailed(stream_)) pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
    return reason;
  }
  delivery_ = std::thread([this] { deliverBlocks(); });
  return std::nullopt;
}

void RecordStream::onState(pa_stream*, void* userdata) {
  static_cast<RecordStream*>(userdata)->connection_.signal();
}

void RecordStream::onRead(pa_stream*, size_t, void* userdata) {
  auto* self = static_cast<RecordStream*>(userdata);
  self->drainServerQueue();
  // The server sends whatever its source produced (often every 10 ms), far more
  // often than a block fills; waking the delivery thread for each would cost a
  // thread switch and a contended lock every time. Stopping and failure wake it
  // on their own.
  if (self->pending_.size() - self->pendingStart_ >= self->blockBytes_) self->connection_.signal();
}

// Moves what libpulse has received into this process's own buffer, so a stalled
// handler does not make the client library's queue overflow. Past
// kMaxBufferedBytes the audio is left with the library and the server.
void RecordStream::drainServerQueue() {
  if (pendingStart_ > 0 && pendingStart_ * 2 >= pending_.size()) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pendingStart_));
    pendingStart_ = 0;
  }
  while (pending_.size() - pendingStart_ < kMaxBufferedBytes &&
         pa_stream_readable_size(stream_) > 0) {
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(stream_, &data, &bytes) < 0 || bytes == 0) return;
    if (data == nullptr) {
      pending_.insert(pending_.end(), bytes, std::byte{0});  // a hole: keep the timing
    } else {
      const auto* first = static_cast<const std::byte*>(data);
      pending_.insert(pending_.end(), first, first + bytes);
    }
    pa_stream_drop(stream_);
  }
}

void RecordStream::deliverBlocks() {
  std::vector<std::byte> block(blockBytes_);
  uint64_t nextFrame = 0;
  for (;;) {
    bool failed = false;
    std::string failure;
    {
      auto held = connection_.lock();
      for (;;) {
        if (stopping_) return;
        if (!streamFailed(stream_)) drainServerQueue();
        if (pending_.size() - pendingStart_ >= blockBytes_) break;
        if (streamFailed(stream_)) {
          failed = true;
          failure = connection_.errorText();
          break;
        }
        connection_.wait();
      }
      if (!failed) {
        std::memcpy(block.data(), pending_.data() + pendingStart_, blockBytes_);
        pendingStart_ += blockBytes_;
      }
    }
    if (failed) {
      if (onFailure_) onFailure_(failure);
      return;
    }
    onBlock_(block, nextFrame);
    nextFrame += config_.framesPerBlock;
  }
}

}  // namespace pulse
