#include "common/chunk_backlog.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace pcm {

ChunkBacklog::Chunk::Chunk() {
  void* pages =
      mmap(nullptr, kChunkBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) throw std::bad_alloc();
  bytes_ = static_cast<std::byte*>(pages);
}

ChunkBacklog::Chunk::~Chunk() { munmap(bytes_, kChunkBytes); }

// Spares made up front (pages cost nothing until written): not even the first write allocates.
ChunkBacklog::ChunkBacklog() : ring_(8) {
  spares_.reserve(kSpareChunks);
  while (spares_.size() < kSpareChunks) spares_.push_back(std::make_unique<Chunk>());
}

void ChunkBacklog::append(std::span<const std::byte> bytes) {
  if (bytes.empty()) return;
  if (halfSample_) {
    const std::byte sample[2] = {*halfSample_, bytes.front()};
    halfSample_.reset();
    store(sample);
    bytes = bytes.subspan(1);
  }
  if (bytes.size() % 2 != 0) {
    halfSample_ = bytes.back();
    bytes = bytes.first(bytes.size() - 1);
  }
  store(bytes);
}

void ChunkBacklog::appendSilence(std::size_t bytes) {
  static constexpr std::byte kZeros[4096]{};
  for (bytes -= bytes % 2; bytes > 0;) {
    const std::size_t n = std::min(bytes, sizeof kZeros);
    store({kZeros, n});
    bytes -= n;
  }
}

void ChunkBacklog::pushChunk(std::unique_ptr<Chunk> chunk) {
  if (count_ == ring_.size()) {
    std::vector<std::unique_ptr<Chunk>> larger(std::max<std::size_t>(8, 2 * ring_.size()));
    for (std::size_t i = 0; i < count_; ++i)
      larger[i] = std::move(ring_[(head_ + i) % ring_.size()]);
    ring_ = std::move(larger);
    head_ = 0;
  }
  ring_[(head_ + count_++) % ring_.size()] = std::move(chunk);
}

// Every amount stored is even, and so is a chunk's size: chunks hold whole samples only.
void ChunkBacklog::store(std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    if (count_ == 0 || newest().end_ == kChunkBytes) {
      if (spares_.empty()) {
        pushChunk(std::make_unique<Chunk>());
      } else {
        pushChunk(std::move(spares_.back()));
        spares_.pop_back();
      }
    }
    Chunk& tail = newest();
    const std::size_t n = std::min(bytes.size(), kChunkBytes - tail.end_);
    std::memcpy(tail.bytes_ + tail.end_, bytes.data(), n);
    tail.end_ += n;
    size_ += n;
    bytes = bytes.subspan(n);
  }
}

std::size_t ChunkBacklog::silenceOldest(std::size_t bytes) {
  std::size_t left = bytes + bytes % 2;
  std::size_t dropped = 0;
  while (left > 0 && count_ > 0) {
    Chunk& oldest = *ring_[head_];
    const std::size_t n = std::min(left, oldest.end_ - oldest.begin_);
    oldest.begin_ += n;
    size_ -= n;
    dropped += n;
    left -= n;
    if (oldest.begin_ == oldest.end_) recycle(takeOldest());
  }
  silence_ += dropped;
  return dropped;
}

std::size_t ChunkBacklog::takeSilence(std::size_t most) {
  const std::size_t n = std::min(most - most % 2, silence_);
  silence_ -= n;
  return n;
}

std::unique_ptr<ChunkBacklog::Chunk> ChunkBacklog::takeOldest() {
  if (count_ == 0) return nullptr;
  auto oldest = std::move(ring_[head_]);
  head_ = (head_ + 1) % ring_.size();
  --count_;
  size_ -= oldest->end_ - oldest->begin_;
  return oldest;
}

void ChunkBacklog::recycle(std::unique_ptr<Chunk> chunk) {
  if (spares_.size() >= kSpareChunks) return;
  chunk->begin_ = chunk->end_ = 0;
  spares_.push_back(std::move(chunk));
}

void ChunkBacklog::clear() {
  ring_.clear();
  head_ = count_ = 0;
  spares_.clear();
  size_ = silence_ = 0;
  halfSample_.reset();
}

}  // namespace pcm
