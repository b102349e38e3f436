// Threads and fork: the worker pool's results, failures and children made while it is busy or
// starting, and the file lock that keeps one writer per file (the handles' refusals are tested
// through the Python suite's writer tests).
#include <sys/resource.h>

#include <chrono>

#include "engine/pool.hpp"
#include "tests/engine/fixtures.hpp"

namespace molarium::testing {
namespace {

using namespace molarium::pool;
using storage::AtomDatabase;
using storage::File;

// Runs `child` in a forked process killed by SIGALRM after 30 s, so a hang fails instead of
// blocking. Returns its exit code, or minus the signal that killed it.
int run_in_child(const std::function<int()>& child) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(30);
    _exit(child());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
}

std::uint64_t mix(std::uint64_t i) { return (i * 0x9E3779B97F4A7C15ull + 1) ^ (i >> 3); }

// 0 when a map over 100,000 items gives each item's value in input order, calling each once.
int map_is_exact() {
  constexpr std::size_t kCount = 100000;
  std::vector<std::atomic<int>> calls(kCount);
  auto mapped = parallel_map<std::uint64_t>(kCount, [&](std::size_t i) -> Result<std::uint64_t> {
    calls[i].fetch_add(1);
    return mix(i);
  });
  if (!mapped || mapped->size() != kCount) return 1;
  for (std::size_t i = 0; i < kCount; ++i) {
    if ((*mapped)[i] != mix(i) || calls[i] != 1) return 2;
  }
  return 0;
}

TEST(WorkerPool, MapGivesEveryItemOnceInInputOrderAlsoToConcurrentCallers) {
  EXPECT_EQ(map_is_exact(), 0);
  EXPECT_TRUE(parallel_for(0, [](std::size_t) -> Result<void> { return invalid_data("called"); }));
  std::vector<std::thread> callers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 6; ++t) callers.emplace_back([&] { wrong += map_is_exact(); });
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(wrong, 0);
}

TEST(WorkerPool, FirstFailureStopsTheCallAndExceptionsBecomeFailures) {
  std::atomic<std::size_t> ran{0};
  auto failed = parallel_for(2000000, [&](std::size_t i) -> Result<void> {
    ran.fetch_add(1);
    return i == 5 ? invalid_data("item 5 is broken") : Result<void>{};
  });
  EXPECT_EQ(failed.error().message(), "item 5 is broken");
  EXPECT_LT(ran.load(), 1000000u);
  const auto thrown = [](std::size_t count, std::size_t at, std::function<void()> raise) {
    auto result = parallel_for(count, [&](std::size_t i) -> Result<void> {
      if (i == at) raise();
      return {};
    });
    EXPECT_TRUE(!result && result.error().kind() == Error::Kind::InvalidData);
    return result ? std::string() : result.error().message();
  };
  EXPECT_EQ(thrown(1000, 700, [] { throw std::runtime_error("boom"); }), "worker task failed: boom");
  EXPECT_EQ(thrown(1000, 3, [] { throw std::bad_alloc(); }), "out of memory");
  EXPECT_EQ(thrown(1000, 999, [] { throw 42; }), "worker task failed: unknown exception");
  EXPECT_EQ(thrown(1, 0, [] { throw std::logic_error("inline"); }), "worker task failed: inline");
}

TEST(WorkerPool, NestedCallRunsInlineOnItsThread) {
  std::atomic<int> moved{0};
  std::vector<std::uint64_t> sums(64, 0);
  auto status = parallel_for(64, [&](std::size_t outer) -> Result<void> {
    const auto here = std::this_thread::get_id();
    auto inner = parallel_map<std::uint64_t>(100, [&](std::size_t i) -> Result<std::uint64_t> {
      if (std::this_thread::get_id() != here) ++moved;
      return outer * 1000 + i;
    });
    for (auto v : inner.value()) sums[outer] += v;
    return {};
  });
  ASSERT_TRUE(status);
  EXPECT_EQ(moved, 0);
  for (std::size_t outer = 0; outer < 64; ++outer) EXPECT_EQ(sums[outer], outer * 100000 + 4950);
}

// A child forked while another thread keeps the pool busy, or starts it, gets a pool of its own;
// so does a grandchild.
TEST(WorkerPoolFork, ChildrenForkedWhileThePoolIsBusyOrStartingComplete) {
#ifdef MOLARIUM_ASAN
  GTEST_SKIP() << "the sanitizer's allocator is not fork-safe: a child forked while another thread "
                  "allocates can hang in it";
#endif
  EXPECT_EQ(run_in_child([] {
              std::atomic<bool> stop{false};
              std::atomic<int> wrong{0};
              std::thread busy([&] {
                while (!stop) wrong += map_is_exact();
              });
              int failed = 0;
              for (int i = 0; i < 20 && !failed; ++i) failed = run_in_child(map_is_exact);
              stop = true;
              busy.join();
              return failed ? 100 : wrong.load();
            }),
            0);
  for (int round = 0; round < 10; ++round) {
    EXPECT_EQ(run_in_child([] {
                std::thread starter([] { (void)map_is_exact(); });
                const int child = run_in_child([] { return map_is_exact() + run_in_child(map_is_exact); });
                starter.join();
                return child;
              }),
              0);
  }
}

// A training loop reads a batch, then computes for milliseconds: workers that polled for the next job
// after every call would burn the processor time the loop needs. In a child with eight threads, 40
// calls that keep every thread busy, each followed by a 5 ms pause: polling for 300 us after each
// call would take up to 84 ms over the pauses; sleeping workers take about 1 ms.
TEST(WorkerPoolIdle, WorkersSleepWhenCallsArePausedBetween) {
  EXPECT_EQ(run_in_child([] {
              setenv("RAYON_NUM_THREADS", "8", 1);
              const auto cpu_seconds = [] {
                rusage usage{};
                getrusage(RUSAGE_SELF, &usage);
                return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
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
            }),
            0);
}

int child_thread_count(const char* rayon, const char* cpus) {
  return run_in_child([&] {
    rayon ? setenv("RAYON_NUM_THREADS", rayon, 1) : unsetenv("RAYON_NUM_THREADS");
    cpus ? setenv("RAYON_RS_NUM_CPUS", cpus, 1) : unsetenv("RAYON_RS_NUM_CPUS");
    return map_is_exact() == 0 ? int(thread_count()) : 200;
  });
}

TEST(WorkerPoolFork, SizeComesFromTheEnvironmentInOrder) {
  const int online = int(sysconf(_SC_NPROCESSORS_ONLN));
  EXPECT_EQ(child_thread_count("3", "5"), 3);
  EXPECT_EQ(child_thread_count("1", nullptr), 1);
  EXPECT_EQ(child_thread_count(nullptr, "5"), 5);
  for (const char* bad : {"abc", "0", "-4", ""}) EXPECT_EQ(child_thread_count(bad, "2"), 2) << bad;
  EXPECT_EQ(child_thread_count("4x", "x4"), online);
  EXPECT_EQ(child_thread_count(nullptr, nullptr), online);
}

// --- One writer per file ------------------------------------------------------------------------

TEST(WriterLock, FileLockConflictsBetweenDescriptionsAndGoesWithTheLastDescriptor) {
  TempDir dir;
  const std::string path = dir.path("lock");
  ASSERT_TRUE(File::create_truncate(path).value().close());
  File first = File::open_read_write(path).value();
  File second = File::open_read_write(path).value();
  EXPECT_TRUE(first.try_lock_exclusive().value());
  EXPECT_FALSE(second.try_lock_exclusive().value());
  // A descriptor opened and closed beside the lock does not release it, as a POSIX record lock would.
  ASSERT_TRUE(File::open_read(path).value().close());
  EXPECT_FALSE(second.try_lock_exclusive().value());
  ASSERT_TRUE(first.close());
  EXPECT_TRUE(second.try_lock_exclusive().value());
}

}  // namespace
}  // namespace molarium::testing
