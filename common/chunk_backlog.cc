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

// Every amount stored is even and so is a chunk's size, so every chunk holds
// whole samples only.
void ChunkBacklog::store(std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    if (chunks_.empty() || chunks_.back()->end_ == kChunkBytes) {
      if (spares_.empty()) {
        chunks_.push_back(std::make_unique<Chunk>());
      } else {
        chunks_.push_back(std::move(spares_.back()));
        spares_.pop_back();
      }
    }
    Chunk& tail = *chunks_.back();
    const std::size_t n = std::min(bytes.size(), kChunkBytes - tail.end_);
    std::memcpy(tail.bytes_ + tail.end_, bytes.data(), n);
    tail.end_ += n;
    size_ += n;
    bytes = bytes.subspan(n);
  }
}

std::size_t ChunkBacklog::dropOldest(std::size_t bytes) {
  std::size_t left = bytes + bytes % 2;
  std::size_t dropped = 0;
  while (left > 0 && !chunks_.empty()) {
    Chunk& oldest = *chunks_.front();
    const std::size_t n = std::min(left, oldest.end_ - oldest.begin_);
    oldest.begin_ += n;
    size_ -= n;
    dropped += n;
    left -= n;
    if (oldest.begin_ == oldest.end_) recycle(takeOldest());
  }
  return dropped;
}

std::unique_ptr<ChunkBacklog::Chunk> ChunkBacklog::takeOldest() {
  if (chunks_.empty()) return nullptr;
  auto oldest = std::move(chunks_.front());
  chunks_.pop_front();
  size_ -= oldest->end_ - oldest->begin_;
  return oldest;
}

void ChunkBacklog::recycle(std::unique_ptr<Chunk> chunk) {
  if (spares_.size() >= kSpareChunks) return;
  chunk->begin_ = chunk->end_ = 0;
  spares_.push_back(std::move(chunk));
}

void ChunkBacklog::clear() {
  chunks_.clear();
  spares_.clear();
  size_ = 0;
  halfSample_.reset();
}

}  // namespace pcm
