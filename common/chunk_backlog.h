// The bytes of a 16-bit sample stream that wait to be written, oldest first, in
// fixed-size chunks of memory that go back to the system once written. Audio
// dropped at the front to respect a bound becomes a run of silence, kept as a
// count, so that what follows keeps its place in time.
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

  // A chunk's own pages are mapped for it alone, so that the memory a long
  // backlog held is returned when it is written, not kept by the allocator.
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

  // Copies `bytes` in after everything held. Only whole samples are held: a
  // last odd byte waits for the byte that completes its sample.
  void append(std::span<const std::byte> bytes);
  // Appends `bytes` of zeros (rounded down to whole samples).
  void appendSilence(std::size_t bytes);
  // Bytes of audio held in chunks (the leading silence and a waiting odd byte
  // are not counted): what the backlog costs in memory.
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0 && silence_ == 0; }
  // Turns the oldest `bytes` held in chunks, rounded up to whole samples, into
  // silence; returns how many bytes that was.
  std::size_t silenceOldest(std::size_t bytes);
  // Takes up to `most` bytes of the silence that comes first; 0 when the oldest
  // bytes are audio.
  std::size_t takeSilence(std::size_t most);
  // Takes out the oldest chunk, partly filled or not; null when none is held.
  // Any leading silence must be taken first.
  std::unique_ptr<Chunk> takeOldest();
  // Takes back a chunk from takeOldest once its bytes are written. A couple are
  // kept for reuse, so that a stream that keeps up allocates nothing per write.
  void recycle(std::unique_ptr<Chunk> chunk);
  // Drops everything held.
  void clear();

 private:
  static constexpr std::size_t kSpareChunks = 2;
  void store(std::span<const std::byte> bytes);
  void pushChunk(std::unique_ptr<Chunk> chunk);
  Chunk& newest() { return *ring_[(head_ + count_ - 1) % ring_.size()]; }

  // A ring rather than a deque: it grows only when the backlog reaches a new
  // length, so a stream that keeps up allocates nothing once running.
  std::vector<std::unique_ptr<Chunk>> ring_;
  std::size_t head_ = 0, count_ = 0;
  std::vector<std::unique_ptr<Chunk>> spares_;
  std::size_t size_ = 0;
  std::size_t silence_ = 0;  // bytes of silence before the oldest chunk
  std::optional<std::byte> halfSample_;
};

}  // namespace pcm
