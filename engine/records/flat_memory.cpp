// The kept blocks of flat retrieval's output buffers. A batch's buffers are large (megabytes at a
// few thousand molecules) and short-lived: a training loop drops each batch before it reads the
// next. Freed to the C allocator, such blocks go back to the kernel (unmapped, or trimmed off the
// heap), and the next batch faults in and zero-fills every page again, which profiles of batches
// of 4,096 showed as a third of all time. A few blocks are kept here instead.
#include "engine/records/flat_memory.hpp"

#include <pthread.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <mutex>

namespace molarium::records {

namespace {

// Every block starts with a header that records its capacity; the caller's bytes follow it, so
// the header's size keeps them 64-byte aligned.
constexpr std::size_t kHeaderBytes = 64;
// Blocks below this size are cheap for the C allocator to recycle and are never kept.
constexpr std::size_t kMinKeptBytes = 16 * 1024;
// Bound on the memory kept while no batch uses it: a few batches' worth of buffers.
constexpr std::size_t kMaxKeptBytes = 64u << 20;
constexpr std::size_t kMaxKeptBlocks = 24;
// New blocks are made an eighth larger than asked and rounded to pages, so that the next batch,
// a little larger, still fits the block this one leaves behind.
constexpr std::size_t kPageBytes = 4096;

struct Header {
  std::size_t capacity;  // bytes after the header
};

struct Kept {
  void* block = nullptr;
  std::size_t capacity = 0;
};

// Oldest first; the oldest block goes when room is needed.
struct KeptBlocks {
  std::mutex lock;
  std::array<Kept, kMaxKeptBlocks> blocks{};
  std::size_t count = 0;
  std::size_t bytes = 0;

  // REQUIRES: lock held.
  void erase(std::size_t at) {
    bytes -= blocks[at].capacity;
    for (std::size_t i = at + 1; i < count; ++i) blocks[i - 1] = blocks[i];
    --count;
  }
};

KeptBlocks g_kept;

// A fork() while another thread holds the lock would leave it held in the child for ever, so the
// forking thread takes it around the fork and releases it on both sides.
void before_fork() { g_kept.lock.lock(); }
void after_fork() { g_kept.lock.unlock(); }
const bool g_fork_handlers_installed = pthread_atfork(before_fork, after_fork, after_fork) == 0;

Header* header_of(void* data) { return reinterpret_cast<Header*>(static_cast<std::byte*>(data) - kHeaderBytes); }

void* data_of(void* block) { return static_cast<std::byte*>(block) + kHeaderBytes; }

// The smallest kept block that holds `bytes` without wasting more than half of itself, taken out.
void* take_kept(std::size_t bytes) {
  if (bytes < kMinKeptBytes || !g_fork_handlers_installed) return nullptr;
  std::lock_guard guard(g_kept.lock);
  std::size_t best = g_kept.count;
  for (std::size_t i = 0; i < g_kept.count; ++i) {
    const std::size_t capacity = g_kept.blocks[i].capacity;
    if (capacity < bytes || capacity / 2 > bytes) continue;
    if (best == g_kept.count || capacity < g_kept.blocks[best].capacity) best = i;
  }
  if (best == g_kept.count) return nullptr;
  void* block = g_kept.blocks[best].block;
  g_kept.erase(best);
  return block;
}

// Keeps the block, making room by freeing the oldest ones; false when it is not to be kept.
bool keep(void* block, std::size_t capacity) {
  if (capacity < kMinKeptBytes || capacity > kMaxKeptBytes / 2 || !g_fork_handlers_installed) return false;
  std::array<void*, kMaxKeptBlocks> evicted{};
  std::size_t evicted_count = 0;
  {
    std::lock_guard guard(g_kept.lock);
    while (g_kept.count == kMaxKeptBlocks || g_kept.bytes + capacity > kMaxKeptBytes) {
      evicted[evicted_count++] = g_kept.blocks[0].block;
      g_kept.erase(0);
    }
    g_kept.blocks[g_kept.count++] = Kept{block, capacity};
    g_kept.bytes += capacity;
  }
  for (std::size_t i = 0; i < evicted_count; ++i) std::free(evicted[i]);
  return true;
}

}  // namespace

void* acquire_flat_memory(std::size_t bytes) noexcept {
  if (void* block = take_kept(bytes)) return data_of(block);
  std::size_t capacity = bytes;
  if (bytes >= kMinKeptBytes && bytes <= kMaxKeptBytes) {
    capacity = (bytes + bytes / 8 + kPageBytes - 1) / kPageBytes * kPageBytes;
  }
  // aligned_alloc wants a multiple of the alignment: the header plus the capacity, rounded up.
  if (capacity > SIZE_MAX - 2 * kHeaderBytes) return nullptr;
  void* block = std::aligned_alloc(kHeaderBytes, (capacity + 2 * kHeaderBytes - 1) / kHeaderBytes * kHeaderBytes);
  if (block == nullptr) return nullptr;
  static_cast<Header*>(block)->capacity = capacity;
  return data_of(block);
}

void release_flat_memory(void* data) noexcept {
  if (data == nullptr) return;
  void* block = header_of(data);
  if (!keep(block, static_cast<Header*>(block)->capacity)) std::free(block);
}

}  // namespace molarium::records
