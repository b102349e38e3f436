// Tests of the worker pool: input order, failure, exceptions, concurrent and nested callers,
// sizing from the environment, and use after fork().
#include "engine/pool.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace molarium::pool {
namespace {

using ThreadId = std::thread::id;

// Runs `child` in a forked process that is killed by SIGALRM after `seconds`, so a hang fails
// the test instead of blocking it. Returns the child's exit code, or -signal when it was killed.
int run_in_child(const std::function<int()>& child, unsigned seconds = 30) {
  const pid_t pid = fork();
  if (pid < 0) return -1000;
  if (pid == 0) {
    alarm(seconds);
    int code = 99;
    try {
      code = child();
    } catch (...) {
    }
    _exit(code);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1001;
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return WEXITSTATUS(status);
}

// A value that depends on the item only, so any split over threads must give the same list.
std::uint64_t mix(std::uint64_t i) {
  std::uint64_t x = i * 0x9E3779B97F4A7C15ull + 1;
  x ^= x >> 31;
  return x * 0xBF58476D1CE4E5B9ull;
}

// The exit code of a child that checks parallel_map over 10,000 items against a plain loop.
int map_matches_plain_loop() {
  constexpr std::size_t kCount = 10000;
  auto mapped = parallel_map<std::uint64_t>(kCount, [](std::size_t i) -> Result<std::uint64_t> { return mix(i); });
  if (!mapped || mapped->size() != kCount) return 1;
  for (std::size_t i = 0; i < kCount; ++i) {
    if ((*mapped)[i] != mix(i)) return 2;
  }
  return 0;
}

// The exit code of a child that checks its pool has live workers: the caller's items wait until
// a worker has run an item, which only a worker thread that exists in this process can do.
int workers_take_part() {
  if (thread_count() < 2) return 0;
  std::atomic<bool> worker_seen{false};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  auto status = parallel_for(1000, [&](std::size_t) -> Result<void> {
    if (on_worker_thread()) {
      worker_seen = true;
      return {};
    }
    while (!worker_seen && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    return {};
  });
  return status && worker_seen ? 0 : 3;
}

// A child that completes parallel work on workers of its own.
int parallel_work_completes() {
  const int code = map_matches_plain_loop();
  return code != 0 ? code : workers_take_part();
}

// Keeps the pool busy from a thread of its own until destroyed; the loop allocates nothing, so
// a fork inherits only the pool's own state mid-use. With `settle`, the constructor returns once
// the loop has run a while, so that no thread of this process is still starting up (a thread
// that starts allocates, and a sanitizer's allocator is not safe to fork in the middle of that).
class BusyPool {
 public:
  explicit BusyPool(bool settle)
      : thread_([this] {
          constexpr std::size_t kCount = 10000;
          while (!stop_.load()) {
            std::atomic<std::uint64_t> sum{0};
            auto status = parallel_for(kCount, [&](std::size_t i) -> Result<void> {
              sum.fetch_add(i, std::memory_order_relaxed);
              return {};
            });
            if (!status || sum.load() != kCount * (kCount - 1) / 2) failures_.fetch_add(1);
            rounds_.fetch_add(1);
          }
        }) {
    while (settle && rounds_.load() < 50) std::this_thread::yield();
  }
  ~BusyPool() {
    stop_ = true;
    thread_.join();
  }
  int failures() const { return failures_.load(); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> failures_{0};
  std::atomic<int> rounds_{0};
  std::thread thread_;
};

TEST(WorkerPool, MapKeepsInputOrderOverTenThousandItems) {
  constexpr std::size_t kCount = 10000;
  auto mapped = parallel_map<std::uint64_t>(kCount, [](std::size_t i) -> Result<std::uint64_t> { return i * i; });
  ASSERT_TRUE(mapped.has_value());
  ASSERT_EQ(mapped->size(), kCount);
  for (std::size_t i = 0; i < kCount; ++i) ASSERT_EQ((*mapped)[i], i * i) << i;
}

TEST(WorkerPool, EveryItemRunsExactlyOnce) {
  constexpr std::size_t kCount = 100003;
  std::vector<std::atomic<int>> runs(kCount);
  auto status = parallel_for(kCount, [&](std::size_t i) -> Result<void> {
    runs[i].fetch_add(1);
    return {};
  });
  ASSERT_TRUE(status.has_value());
  for (std::size_t i = 0; i < kCount; ++i) ASSERT_EQ(runs[i].load(), 1) << i;
}

TEST(WorkerPool, EachThreadTakesItemsInIncreasingOrder) {
  constexpr std::size_t kCount = 50000;
  std::mutex mutex;
  std::map<ThreadId, std::vector<std::size_t>> seen;
  auto status = parallel_for(kCount, [&](std::size_t i) -> Result<void> {
    {
      std::lock_guard lock(mutex);
      seen[std::this_thread::get_id()].push_back(i);
    }
    return {};
  });
  ASSERT_TRUE(status.has_value());
  std::size_t total = 0;
  for (const auto& [thread, items] : seen) {
    total += items.size();
    for (std::size_t k = 1; k < items.size(); ++k) ASSERT_LT(items[k - 1], items[k]);
  }
  EXPECT_EQ(total, kCount);
}

TEST(WorkerPool, EmptyInputSucceedsWithoutCallingTheBody) {
  bool called = false;
  auto status = parallel_for(0, [&](std::size_t) -> Result<void> {
    called = true;
    return {};
  });
  EXPECT_TRUE(status.has_value());
  EXPECT_FALSE(called);
  auto mapped = parallel_map<int>(0, [](std::size_t) -> Result<int> { return 1; });
  ASSERT_TRUE(mapped.has_value());
  EXPECT_TRUE(mapped->empty());
}

TEST(WorkerPool, InputBelowMinimumRunsInlineOnTheCaller) {
  const ThreadId caller = std::this_thread::get_id();
  std::vector<ThreadId> threads(50);
  auto status = parallel_for(
      threads.size(),
      [&](std::size_t i) -> Result<void> {
        threads[i] = std::this_thread::get_id();
        return {};
      },
      /*min_parallel=*/51);
  ASSERT_TRUE(status.has_value());
  for (ThreadId id : threads) EXPECT_EQ(id, caller);
}

TEST(WorkerPool, FirstFailureStopsFurtherItemsAndIsReturned) {
  constexpr std::size_t kCount = 2000000;
  std::atomic<std::size_t> ran{0};
  auto status = parallel_for(kCount, [&](std::size_t i) -> Result<void> {
    ran.fetch_add(1, std::memory_order_relaxed);
    if (i == 5) return invalid_data("item 5 is broken");
    return {};
  });
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().kind(), Error::Kind::InvalidData);
  EXPECT_EQ(status.error().message(), "item 5 is broken");
  EXPECT_LT(ran.load(), kCount / 2);
}

TEST(WorkerPool, OneOfSeveralFailuresIsReturned) {
  auto status = parallel_for(10000, [](std::size_t i) -> Result<void> {
    if (i % 1000 == 999) return invalid_data(cat("bad ", i));
    return {};
  });
  ASSERT_FALSE(status.has_value());
  const std::string& message = status.error().message();
  ASSERT_EQ(message.rfind("bad ", 0), 0u) << message;
  EXPECT_EQ(std::stoul(message.substr(4)) % 1000, 999u);
}

// Counts live instances, so a test can see that partial results of a failed map are released.
struct Tracked {
  static inline std::atomic<int> live{0};
  Tracked() { live.fetch_add(1); }
  Tracked(const Tracked&) { live.fetch_add(1); }
  Tracked(Tracked&&) noexcept { live.fetch_add(1); }
  ~Tracked() { live.fetch_sub(1); }
};

TEST(WorkerPool, FailedMapReleasesPartialResults) {
  Tracked::live = 0;
  auto mapped = parallel_map<Tracked>(20000, [](std::size_t i) -> Result<Tracked> {
    if (i == 15000) return invalid_data("stop");
    return Tracked{};
  });
  ASSERT_FALSE(mapped.has_value());
  EXPECT_EQ(mapped.error().message(), "stop");
  EXPECT_EQ(Tracked::live.load(), 0);
}

TEST(WorkerPool, ExceptionsBecomeTheCallsFailure) {
  auto thrown = parallel_for(1000, [](std::size_t i) -> Result<void> {
    if (i == 700) throw std::runtime_error("boom");
    return {};
  });
  ASSERT_FALSE(thrown.has_value());
  EXPECT_EQ(thrown.error().kind(), Error::Kind::InvalidData);
  EXPECT_EQ(thrown.error().message(), "worker task failed: boom");

  auto out_of_memory = parallel_for(1000, [](std::size_t i) -> Result<void> {
    if (i == 3) throw std::bad_alloc();
    return {};
  });
  ASSERT_FALSE(out_of_memory.has_value());
  EXPECT_EQ(out_of_memory.error().message(), "out of memory");

  auto unknown = parallel_for(1000, [](std::size_t i) -> Result<void> {
    if (i == 999) throw 42;
    return {};
  });
  ASSERT_FALSE(unknown.has_value());
  EXPECT_EQ(unknown.error().message(), "worker task failed: unknown exception");
}

TEST(WorkerPool, ExceptionOnTheInlinePathIsCaughtToo) {
  auto thrown = parallel_for(1, [](std::size_t) -> Result<void> { throw std::logic_error("inline"); });
  ASSERT_FALSE(thrown.has_value());
  EXPECT_EQ(thrown.error().message(), "worker task failed: inline");

  auto mapped = parallel_map<int>(3, [](std::size_t) -> Result<int> { throw std::bad_alloc(); }, 10);
  ASSERT_FALSE(mapped.has_value());
  EXPECT_EQ(mapped.error().message(), "out of memory");
}

TEST(WorkerPool, NestedCallFromATaskRunsInlineOnThatThread) {
  constexpr std::size_t kOuter = 64;
  constexpr std::size_t kInner = 100;
  std::vector<int> mismatches(kOuter, 0);
  std::vector<std::uint64_t> sums(kOuter, 0);
  auto status = parallel_for(kOuter, [&](std::size_t outer) -> Result<void> {
    const ThreadId here = std::this_thread::get_id();
    auto inner = parallel_map<std::uint64_t>(kInner, [&](std::size_t i) -> Result<std::uint64_t> {
      if (std::this_thread::get_id() != here) ++mismatches[outer];
      return outer * 1000 + i;
    });
    if (!inner) return std::unexpected(inner.error());
    for (auto v : *inner) sums[outer] += v;
    return {};
  });
  ASSERT_TRUE(status.has_value());
  for (std::size_t outer = 0; outer < kOuter; ++outer) {
    EXPECT_EQ(mismatches[outer], 0) << outer;
    EXPECT_EQ(sums[outer], outer * 1000 * kInner + kInner * (kInner - 1) / 2) << outer;
  }
}

TEST(WorkerPool, ConcurrentCallersEachGetTheirOwnResultsAndFailures) {
  constexpr int kCallers = 8;
  constexpr int kRounds = 40;
  std::vector<int> wrong(kCallers, 0);
  std::vector<std::thread> callers;
  for (int c = 0; c < kCallers; ++c) {
    callers.emplace_back([&, c] {
      for (int round = 0; round < kRounds; ++round) {
        const std::size_t count = 500 + 97 * c + round;
        const bool should_fail = (round + c) % 3 == 0;
        auto mapped = parallel_map<std::uint64_t>(count, [&](std::size_t i) -> Result<std::uint64_t> {
          if (should_fail && i == count / 2) return invalid_data(cat("caller ", c, " round ", round));
          return mix(i) + c;
        });
        if (should_fail) {
          if (mapped || mapped.error().message() != cat("caller ", c, " round ", round)) ++wrong[c];
          continue;
        }
        if (!mapped || mapped->size() != count) {
          ++wrong[c];
          continue;
        }
        for (std::size_t i = 0; i < count; ++i) {
          if ((*mapped)[i] != mix(i) + c) {
            ++wrong[c];
            break;
          }
        }
      }
    });
  }
  for (auto& t : callers) t.join();
  for (int c = 0; c < kCallers; ++c) EXPECT_EQ(wrong[c], 0) << "caller " << c;
}

// A training loop reads a batch, then computes for milliseconds. Workers that polled for the next
// job after every call would burn processor time the loop needs; with calls this far apart they
// sleep at once. In a child with eight threads, 40 calls whose items keep every thread busy, each
// followed by a 5 ms pause: the process's processor time over the pauses alone. Polling for 300 us
// after each call takes up to 7 x 40 x 0.3 ms = 84 ms, less on a loaded machine where the polling
// threads yield to others (measured 1 to 10 ms with 30 runnable threads on 8 cores); sleeping
// workers take about 1 ms, the caller's own wake-ups.
TEST(WorkerPoolIdle, WorkersSleepWhenCallsArePausedBetween) {
  const int code = run_in_child([] {
    setenv("RAYON_NUM_THREADS", "8", 1);
    const auto cpu_seconds = [] {
      rusage usage{};
      getrusage(RUSAGE_SELF, &usage);
      return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
             static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    };
    const auto call = [] {
      return parallel_for(64, [](std::size_t) -> Result<void> {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(100);
        while (std::chrono::steady_clock::now() < until) {
        }
        return {};
      });
    };
    if (!call()) return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    double in_pauses = 0;
    for (int i = 0; i < 40; ++i) {
      if (!call()) return 2;
      const double before = cpu_seconds();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      in_pauses += cpu_seconds() - before;
    }
    return in_pauses < 0.006 ? 0 : 3;
  });
  EXPECT_EQ(code, 0);
}

TEST(WorkerPoolFork, ChildAfterForkRunsParallelWorkToCompletion) {
  ASSERT_EQ(map_matches_plain_loop(), 0);  // the parent's pool is running now
  EXPECT_EQ(run_in_child(map_matches_plain_loop), 0);
  // And the parent's pool still works after the fork.
  EXPECT_EQ(map_matches_plain_loop(), 0);
}

// Each child is forked while another thread is inside parallel_for (the pool's mutex may be
// held, its workers are mid-job); each must finish parallel work on workers of its own.
TEST(WorkerPoolFork, ChildForkedWhileAnotherThreadUsesThePoolCompletes) {
  const int code = run_in_child([] {
    if (map_matches_plain_loop() != 0) return 90;  // the pool runs before the busy thread starts
    BusyPool busy(/*settle=*/true);
    for (int i = 0; i < 20; ++i) {
      const int child = run_in_child(parallel_work_completes, 20);
      if (child != 0) return 100 + i;
    }
    return busy.failures() == 0 ? 0 : 91;
  });
  EXPECT_EQ(code, 0) << "100 + i: child i failed; 91: the busy thread saw wrong results";
}

#if defined(__SANITIZE_ADDRESS__)
#define MOLARIUM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MOLARIUM_ASAN 1
#endif
#endif

// Forks race with the first parallel call of another thread, which starts the pool. Every
// round runs in a fresh child, which has no pool yet. A fork that came while the pool was being
// made used to leave the child with the creation mutex locked (a hang) or with the parent's
// pool, whose workers the child does not have.
TEST(WorkerPoolFork, ChildForkedWhileAnotherThreadStartsThePoolCompletes) {
#ifdef MOLARIUM_ASAN
  GTEST_SKIP() << "the sanitizer's allocator is not fork-safe: a child forked while another thread "
                  "creates threads can deadlock inside it";
#endif
  constexpr int kRounds = 150;
  for (int round = 0; round < kRounds; ++round) {
    const int code = run_in_child([] {
      BusyPool busy(/*settle=*/false);  // its first parallel_for starts the pool
      for (int i = 0; i < 3; ++i) {
        const int child = run_in_child(parallel_work_completes, 20);
        if (child != 0) return 100 + i;
      }
      return busy.failures() == 0 ? 0 : 91;
    });
    ASSERT_EQ(code, 0) << "round " << round;
  }
}

TEST(WorkerPoolFork, GrandchildGetsAFreshPoolToo) {
  EXPECT_EQ(run_in_child([] {
              if (map_matches_plain_loop() != 0) return 1;
              return run_in_child(map_matches_plain_loop) == 0 ? 0 : 2;
            }),
            0);
}

// Sizing is read when a process starts its pool; a forked child starts its own, so each
// environment is tried in a child.
int child_thread_count(const char* num_threads, const char* rs_num_cpus) {
  int result = -1;
  const int code = [&] {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return -1;
    const int status = run_in_child([&] {
      close(pipe_fds[0]);
      auto apply = [](const char* name, const char* value) {
        if (value == nullptr) {
          unsetenv(name);
        } else {
          setenv(name, value, 1);
        }
      };
      apply("RAYON_NUM_THREADS", num_threads);
      apply("RAYON_RS_NUM_CPUS", rs_num_cpus);
      const int count = static_cast<int>(thread_count());
      return write(pipe_fds[1], &count, sizeof count) == sizeof count ? 0 : 1;
    });
    close(pipe_fds[1]);
    if (status == 0 && read(pipe_fds[0], &result, sizeof result) != sizeof result) result = -2;
    close(pipe_fds[0]);
    return status;
  }();
  return code == 0 ? result : -100 + code;
}

TEST(WorkerPoolFork, SizeComesFromTheEnvironmentInOrder) {
  const int online = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
  EXPECT_EQ(child_thread_count("3", nullptr), 3);
  EXPECT_EQ(child_thread_count("3", "5"), 3);
  EXPECT_EQ(child_thread_count(nullptr, "5"), 5);
  EXPECT_EQ(child_thread_count("abc", "2"), 2);
  EXPECT_EQ(child_thread_count("0", "2"), 2);
  EXPECT_EQ(child_thread_count("-4", "2"), 2);
  EXPECT_EQ(child_thread_count("", "2"), 2);
  EXPECT_EQ(child_thread_count("4x", "x4"), online);
  EXPECT_EQ(child_thread_count(nullptr, nullptr), online);
  EXPECT_EQ(child_thread_count("1", nullptr), 1);
}

// Writes the mapped values of a 1-thread or an 8-thread pool into a pipe.
std::vector<std::uint64_t> child_map_with_threads(const char* threads) {
  constexpr std::size_t kCount = 10000;
  std::vector<std::uint64_t> values(kCount);
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return {};
  std::thread reader([&] {
    auto* out = reinterpret_cast<char*>(values.data());
    std::size_t got = 0;
    while (got < kCount * sizeof(std::uint64_t)) {
      const ssize_t n = read(pipe_fds[0], out + got, kCount * sizeof(std::uint64_t) - got);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    if (got != kCount * sizeof(std::uint64_t)) values.clear();
  });
  const int status = run_in_child([&] {
    close(pipe_fds[0]);
    setenv("RAYON_NUM_THREADS", threads, 1);
    auto mapped = parallel_map<std::uint64_t>(kCount, [](std::size_t i) -> Result<std::uint64_t> { return mix(i); });
    if (!mapped) return 1;
    const auto* in = reinterpret_cast<const char*>(mapped->data());
    std::size_t sent = 0;
    while (sent < kCount * sizeof(std::uint64_t)) {
      const ssize_t n = write(pipe_fds[1], in + sent, kCount * sizeof(std::uint64_t) - sent);
      if (n <= 0) return 2;
      sent += static_cast<std::size_t>(n);
    }
    return 0;
  });
  close(pipe_fds[1]);
  reader.join();
  close(pipe_fds[0]);
  if (status != 0) return {};
  return values;
}

TEST(WorkerPoolFork, OneThreadAndEightThreadsGiveIdenticalResults) {
  const auto one = child_map_with_threads("1");
  const auto eight = child_map_with_threads("8");
  ASSERT_EQ(one.size(), 10000u);
  ASSERT_EQ(eight.size(), 10000u);
  EXPECT_EQ(one, eight);
  for (std::size_t i = 0; i < one.size(); ++i) ASSERT_EQ(one[i], mix(i));
}

}  // namespace
}  // namespace molarium::pool
