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
      block_(static_cast<std::size_t>(config_.framesPerBlock) *
             (pa_sample_spec_valid(&config_.sampleSpec) ? pa_frame_size(&config_.sampleSpec) : 0)) {
}

RecordStream::~RecordStream() {
  auto held = connection_.lock();
  release();
}

void RecordStream::release() {
  if (stream_ == nullptr) return;
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  if (!streamFailed(stream_)) pa_stream_disconnect(stream_);
  pa_stream_unref(stream_);
  stream_ = nullptr;
}

Result<> RecordStream::start() {
  if (block_.empty()) return Error{pa_strerror(PA_ERR_INVALID)};
  auto held = connection_.lock();
  if (!connection_.alive()) return connection_.failure();

  const pa_channel_map* map = config_.channelMap ? &*config_.channelMap : nullptr;
  stream_ =
      pa_stream_new(connection_.context(), config_.streamName.c_str(), &config_.sampleSpec, map);
  if (stream_ == nullptr) return connection_.failure();
  pa_stream_set_state_callback(stream_, onState, this);
  pa_stream_set_read_callback(stream_, onRead, this);

  // The server is asked to hand audio over in blocks of the size the caller
  // wants, so the first one arrives about one block's duration after start.
  // The queue length is left to the server's maximum.
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<uint32_t>(-1);
  attributes.tlength = static_cast<uint32_t>(-1);
  attributes.prebuf = static_cast<uint32_t>(-1);
  attributes.minreq = static_cast<uint32_t>(-1);
  attributes.fragsize = static_cast<uint32_t>(std::min<std::size_t>(block_.size(), UINT32_MAX));

  const char* source = config_.sourceName ? config_.sourceName->c_str() : nullptr;
  if (pa_stream_connect_record(stream_, source, &attributes, config_.flags) < 0 ||
      !connection_.waitUntil([this] {
        return pa_stream_get_state(stream_) == PA_STREAM_READY || streamFailed(stream_);
      }) ||
      pa_stream_get_state(stream_) != PA_STREAM_READY) {
    const Error failure = connection_.failure();
    release();
    return failure;
  }
  started_ = true;
  return success();
}

void RecordStream::onState(pa_stream* stream, void* userdata) {
  auto* self = static_cast<RecordStream*>(userdata);
  self->connection_.signal();
  if (!self->started_ || self->ended_ || !streamFailed(stream)) return;
  self->ended_ = true;
  if (self->onFailure_) self->onFailure_(self->connection_.failure());
}

void RecordStream::onRead(pa_stream* stream, size_t, void* userdata) {
  auto* self = static_cast<RecordStream*>(userdata);
  const void* data = nullptr;
  std::size_t bytes = 0;
  while (!self->ended_ && pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
    self->take(static_cast<const std::byte*>(data), bytes);
    pa_stream_drop(stream);
  }
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

}  // namespace pulse
