// A 16-bit sample stream waiting to be written, oldest first. Audio dropped at the front to respect
// a bound becomes silence kept as a count, so that what follows keeps its place in time.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace pcm {

class ChunkBacklog {
 public:
  static constexpr std::size_t kChunkBytes = 64 * 1024;

  ChunkBacklog();

  // Pages of its own, so that a long backlog's memory is returned, not kept by the allocator.
  class Chunk {
   public:
    Chunk();
    ~Chunk();
    Chunk(const Chunk&) = delete;
    Chunk& operator=(const Chunk&) = delete;
    std::span<const std::byte> contents() const { return {bytes_ + begin_, end_ - begin_}; }

   private:
    friend class ChunkBacklog;
    std::byte* bytes_;
    std::size_t begin_ = 0, end_ = 0;
  };

  // An odd last byte waits for the byte that completes its sample.
  void append(std::span<const std::byte> bytes);
  void appendSilence(std::size_t bytes);
  // What the backlog costs in memory: neither the leading silence nor a waiting odd byte.
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0 && silence_ == 0; }
  std::size_t silenceOldest(std::size_t bytes);
  // Of the silence that comes first; 0 when the oldest bytes are audio.
  std::size_t takeSilence(std::size_t most);
  // Null when none is held. Any leading silence must be taken first.
  std::unique_ptr<Chunk> takeOldest();
  // A couple are kept, so that a stream that keeps up allocates nothing per write.
  void recycle(std::unique_ptr<Chunk> chunk);
  void clear();

 private:
  static constexpr std::size_t kSpareChunks = 2;
  void store(std::span<const std::byte> bytes);
  void pushChunk(std::unique_ptr<Chunk> chunk);
  Chunk& newest() { return *ring_[(head_ + count_ - 1) % ring_.size()]; }

  std::vector<std::unique_ptr<Chunk>> ring_;
  std::size_t head_ = 0, count_ = 0;
  std::vector<std::unique_ptr<Chunk>> spares_;
  std::size_t size_ = 0;
  std::size_t silence_ = 0;  // bytes of silence before the oldest chunk
  std::optional<std::byte> halfSample_;
};

}  // namespace pcm
