// The bytes of a 16-bit sample stream that wait to be written, oldest first, in
// fixed-size chunks of memory that go back to the system once written.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace pcm {

class ChunkBacklog {
 public:
  static constexpr std::size_t kChunkBytes = 64 * 1024;

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
  // Whole-sample bytes held (a waiting odd byte is not counted).
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Drops the oldest `bytes`, rounded up to whole samples; returns how many
  // bytes went.
  std::size_t dropOldest(std::size_t bytes);
  // Takes out the oldest chunk, partly filled or not; null when none is held.
  std::unique_ptr<Chunk> takeOldest();
  // Takes back a chunk from takeOldest once its bytes are written. A couple are
  // kept for reuse, so that a stream that keeps up allocates nothing per write.
  void recycle(std::unique_ptr<Chunk> chunk);
  // Drops everything held.
  void clear();

 private:
  static constexpr std::size_t kSpareChunks = 2;
  void store(std::span<const std::byte> bytes);

  std::deque<std::unique_ptr<Chunk>> chunks_;
  std::vector<std::unique_ptr<Chunk>> spares_;
  std::size_t size_ = 0;
  std::optional<std::byte> halfSample_;
};

}  // namespace pcm
