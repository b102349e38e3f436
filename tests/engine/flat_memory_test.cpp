// Tests of the kept blocks behind flat buffers: alignment, reuse of a given-back block only for a
// request it holds, and concurrent use from many threads and after fork().
#include "engine/records/flat_memory.hpp"

#include "tests/engine/fixtures.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace molarium::records {
namespace {

bool aligned(const void* data) { return reinterpret_cast<std::uintptr_t>(data) % 64 == 0; }

TEST(FlatMemory, BlocksAreAlignedAndHoldWhatWasAsked) {
  for (const std::size_t bytes : {std::size_t{1}, std::size_t{100}, std::size_t{16 << 10}, std::size_t{3 << 20}}) {
    void* data = acquire_flat_memory(bytes);
    ASSERT_NE(data, nullptr);
    EXPECT_TRUE(aligned(data));
    std::memset(data, 0xab, bytes);  // every asked byte is writable (ASan checks the bound)
    release_flat_memory(data);
  }
  release_flat_memory(nullptr);
  // Sizes whose header and rounding would wrap are refused, not wrapped into small blocks.
  EXPECT_EQ(acquire_flat_memory(SIZE_MAX), nullptr);
  EXPECT_EQ(acquire_flat_memory(SIZE_MAX - 100), nullptr);
}

// A given-back block serves the next request of a similar size, and is never handed out twice.
TEST(FlatMemory, AGivenBackBlockServesTheNextSimilarRequestOnce) {
  void* first = acquire_flat_memory(1 << 20);
  ASSERT_NE(first, nullptr);
  release_flat_memory(first);
  void* again = acquire_flat_memory((1 << 20) + 1000);  // a little larger still fits
  EXPECT_EQ(again, first);
  void* other = acquire_flat_memory(1 << 20);
  EXPECT_NE(other, again);
  std::memset(again, 1, (1 << 20) + 1000);
  std::memset(other, 2, 1 << 20);
  EXPECT_EQ(static_cast<unsigned char*>(again)[(1 << 20) + 999], 1);
  release_flat_memory(again);
  release_flat_memory(other);
  // Far too small a request does not take a large block.
  void* small = acquire_flat_memory(20 << 10);
  EXPECT_NE(small, first);
  release_flat_memory(small);
}

// Threads acquire, fill, check and give back blocks of differing sizes at once: no block is held
// by two of them (each sees only its own pattern).
TEST(FlatMemory, ThreadsNeverShareABlock) {
  std::vector<std::thread> threads;
  std::vector<int> wrong(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &wrong] {
      for (int round = 0; round < 300; ++round) {
        const std::size_t bytes = (std::size_t{16} << 10) * (1 + (round * 7 + t) % 40);
        auto* data = static_cast<unsigned char*>(acquire_flat_memory(bytes));
        if (data == nullptr) {
          ++wrong[t];
          continue;
        }
        std::memset(data, t + 1, bytes);
        std::this_thread::yield();
        for (std::size_t at = 0; at < bytes; at += 4093) wrong[t] += data[at] != t + 1;
        release_flat_memory(data);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 8; ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
}

// A child forked while other threads use the blocks can use them too (the lock is not left held).
TEST(FlatMemory, ChildForkedWhileThreadsUseBlocksCanUseThem) {
#ifdef MOLARIUM_ASAN
  GTEST_SKIP() << "the sanitizer's allocator is not fork-safe: a child forked while another thread "
                  "allocates can hang in it";
#endif
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&stop] {
      while (!stop.load()) release_flat_memory(acquire_flat_memory(64 << 10));
    });
  }
  for (int i = 0; i < 20; ++i) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      alarm(20);
      for (int round = 0; round < 100; ++round) {
        void* data = acquire_flat_memory(64 << 10);
        if (data == nullptr) _exit(1);
        std::memset(data, 3, 64 << 10);
        release_flat_memory(data);
      }
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << i;
  }
  stop.store(true);
  for (auto& thread : threads) thread.join();
}

}  // namespace
}  // namespace molarium::records
