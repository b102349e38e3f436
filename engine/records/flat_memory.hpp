// Memory of flat retrieval's output buffers: blocks that the arrays of one batch give back are
// kept for the next batch, so its buffers are not fresh pages to fault in again.
#pragma once

#include <cstddef>

namespace molarium::records {

// At least `bytes` bytes (bytes > 0), aligned to 64 bytes, uninitialised: a block kept from an
// earlier buffer when one of a fitting size is at hand, else new memory. nullptr when the memory
// cannot be had. Give it back with release_flat_memory, never with free.
void* acquire_flat_memory(std::size_t bytes) noexcept;

// Gives back memory from acquire_flat_memory (nullptr is ignored). Kept for a later buffer while
// the kept blocks stay within a small bound, else freed. Safe from any thread, and in a child
// after fork().
void release_flat_memory(void* data) noexcept;

}  // namespace molarium::records
