// The process-wide worker pool: jobs queued by waiting callers, split into contiguous chunks that
// workers and the caller claim through an atomic counter.
#include "engine/pool.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstdint>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <thread>

namespace molarium::pool {
namespace {

// Chunks per participating thread: enough for uneven items to balance out, few enough that
// claiming a chunk stays rare next to the items it holds.
constexpr std::size_t kChunksPerThread = 4;

// How long a worker that ran out of work keeps polling for the next job before it sleeps. Waking
// a sleeping thread costs tens of microseconds on a virtual machine, and bulk calls can come in
// runs (a lookup job, then the fill job of the same call; batches read back to back), so a worker
// that is still polling joins the next job at once instead of after a chain of wake-ups.
constexpr auto kSpinBeforeSleep = std::chrono::microseconds(300);
// Workers poll only while jobs arrive back to back: when a job is posted within this long of the
// end of the one before. A training loop that reads a batch and then computes for milliseconds
// would otherwise pay every worker's polling after every batch, CPU time that its step needs and
// that buys it nothing, since the next batch comes long after the polling has given up.
constexpr auto kBackToBack = std::chrono::microseconds(300);

using Body = FunctionRef<Result<void>(std::size_t)>;

thread_local bool tls_worker = false;
// Set while this thread runs items of a job; a nested call then runs inline on it, since the
// pool's threads are already taken by the outer call.
thread_local bool tls_in_task = false;

class TaskScope {
 public:
  TaskScope() : previous_(tls_in_task) { tls_in_task = true; }
  ~TaskScope() { tls_in_task = previous_; }
  TaskScope(const TaskScope&) = delete;
  TaskScope& operator=(const TaskScope&) = delete;

 private:
  bool previous_;
};

// Runs one item, turning any exception into the item's failure so none escapes a task.
// The bad_alloc message fits the short-string buffer, so reporting it allocates nothing.
Result<void> run_item(Body body, std::size_t i) noexcept {
  try {
    return body(i);
  } catch (const std::bad_alloc&) {
    return invalid_data("out of memory");
  } catch (const std::exception& e) {
    try {
      return invalid_data(cat("worker task failed: ", e.what()));
    } catch (...) {
      return invalid_data("out of memory");
    }
  } catch (...) {
    try {
      return invalid_data("worker task failed: unknown exception");
    } catch (...) {
      return invalid_data("out of memory");
    }
  }
}

// Items of a small call on a thread that is not in a task may still fan out when they nest a
// large call, so this loop does not mark the thread as in a task.
Result<void> run_inline(std::size_t count, Body body) {
  for (std::size_t i = 0; i < count; ++i) {
    auto status = run_item(body, i);
    if (!status) return status;
  }
  return {};
}

// One parallel_for call. It lives on the caller's stack; the caller does not return before every
// worker that joined it has left (active == 0) and it is off the queue.
struct Job {
  Job(Body body_in, std::size_t count_in, std::size_t chunk_size_in)
      : body(body_in),
        count(count_in),
        chunk_size(chunk_size_in),
        chunk_count((count_in + chunk_size_in - 1) / chunk_size_in) {}

  bool exhausted() const {
    return failed.load(std::memory_order_relaxed) || next_chunk.load(std::memory_order_relaxed) >= chunk_count;
  }

  std::size_t unclaimed_chunks() const {
    const std::size_t claimed = next_chunk.load(std::memory_order_relaxed);
    return claimed >= chunk_count ? 0 : chunk_count - claimed;
  }

  // The first failure in time wins; later ones are dropped. The caller reads `error` only after
  // every participant has left the job, which orders the write before the read.
  void fail(Error failure) {
    bool expected = false;
    if (failed.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) error.emplace(std::move(failure));
  }

  // Claims chunks until none is left or the job has failed.
  void run_chunks() {
    TaskScope scope;
    while (!failed.load(std::memory_order_relaxed)) {
      const std::size_t chunk = next_chunk.fetch_add(1, std::memory_order_relaxed);
      if (chunk >= chunk_count) return;
      const std::size_t begin = chunk * chunk_size;
      const std::size_t end = std::min(count, begin + chunk_size);
      for (std::size_t i = begin; i < end; ++i) {
        if (failed.load(std::memory_order_relaxed)) return;
        auto status = run_item(body, i);
        if (!status) {
          fail(std::move(status).error());
          return;
        }
      }
    }
  }

  const Body body;
  const std::size_t count;
  const std::size_t chunk_size;
  const std::size_t chunk_count;
  std::atomic<std::size_t> next_chunk{0};
  std::atomic<bool> failed{false};
  std::optional<Error> error;

  // Guarded by the pool's mutex.
  std::size_t active = 0;
  bool queued = false;
  Job* next = nullptr;
  std::condition_variable idle;  // notified when `active` drops to 0
};

class Pool {
 public:
  // Starts up to `parallelism - 1` workers; the caller of each job is the last thread. A worker
  // that cannot be started only makes the pool smaller.
  explicit Pool(std::size_t parallelism) {
    for (std::size_t i = 1; i < parallelism; ++i) {
      try {
        std::thread(&Pool::worker_main, this).detach();
      } catch (...) {
        break;
      }
      ++workers_;
    }
  }

  std::size_t workers() const { return workers_; }

  // Queues the job, runs chunks of it on the calling thread, then waits for the workers in it.
  void run(Job& job) {
    {
      // The last two gaps, so that a call made of two jobs (a lookup, then the fill) after a long
      // pause does not count as calls arriving back to back.
      const std::int64_t now = now_ticks();
      const std::int64_t gap = now - last_job_end_.load(std::memory_order_relaxed);
      const std::int64_t previous_gap = last_gap_.exchange(gap, std::memory_order_relaxed);
      back_to_back_.store(std::max(gap, previous_gap) <= kBackToBackTicks, std::memory_order_relaxed);
      std::lock_guard lock(mutex_);
      if (tail_ != nullptr) {
        tail_->next = &job;
      } else {
        head_ = &job;
      }
      tail_ = &job;
      job.queued = true;
      work_posted_.store(true, std::memory_order_relaxed);
    }
    // One worker is woken here; each worker that joins wakes the next while chunks remain, so a
    // job that the caller finishes alone costs one wake-up, not one per worker. Workers still
    // polling after an earlier job join without being woken.
    work_ready_.notify_one();

    job.run_chunks();

    std::unique_lock lock(mutex_);
    if (job.queued) unlink(job);
    job.idle.wait(lock, [&] { return job.active == 0; });
    last_job_end_.store(now_ticks(), std::memory_order_relaxed);
  }

  // After fork() in the child: the workers do not exist there and the mutex may be held by a
  // thread that vanished, so an abandoned pool is never touched again. It stays reachable
  // through this chain so leak checkers do not report it.
  Pool* abandoned_next = nullptr;

 private:
  // Detached and never joined: the pool object is leaked on purpose, so no static destructor
  // waits for a worker and a worker never touches a destroyed object.
  void worker_main() {
    tls_worker = true;
    std::unique_lock lock(mutex_);
    for (;;) {
      if (head_ == nullptr) {
        lock.unlock();
        poll_for_work();
        lock.lock();
        work_ready_.wait(lock, [&] { return head_ != nullptr; });
      }
      Job& job = *head_;
      if (job.exhausted()) {
        unlink(job);
        continue;
      }
      ++job.active;
      lock.unlock();
      if (job.unclaimed_chunks() > 1) work_ready_.notify_one();
      job.run_chunks();
      lock.lock();
      --job.active;
      if (job.queued && job.exhausted()) unlink(job);
      // Notified under the lock: the caller cannot see active == 0 and destroy the job before
      // this thread has let go of it.
      if (job.active == 0) job.idle.notify_all();
    }
  }

  // REQUIRES: mutex_ held and job.queued.
  void unlink(Job& job) {
    Job* previous = nullptr;
    for (Job* it = head_; it != &job; it = it->next) previous = it;
    (previous != nullptr ? previous->next : head_) = job.next;
    if (tail_ == &job) tail_ = previous;
    job.next = nullptr;
    job.queued = false;
    work_posted_.store(head_ != nullptr, std::memory_order_relaxed);
  }

  static std::int64_t now_ticks() {
    return std::chrono::steady_clock::now().time_since_epoch().count();
  }

  // Returns at once unless jobs have been arriving back to back; then once a job may be queued or
  // kSpinBeforeSleep has passed. Only a hint: the caller checks the queue under the mutex, so a
  // job posted just after this gave up is not missed.
  // REQUIRES: mutex_ not held.
  void poll_for_work() const {
    if (!back_to_back_.load(std::memory_order_relaxed)) return;
    const auto deadline = std::chrono::steady_clock::now() + kSpinBeforeSleep;
    for (;;) {
      for (int i = 0; i < 32; ++i) {
        if (work_posted_.load(std::memory_order_relaxed)) return;
        pause_briefly();
      }
      if (std::chrono::steady_clock::now() >= deadline) return;
      // On a loaded machine, the processor goes to whatever else is ready to run.
      std::this_thread::yield();
    }
  }

  // Tells the processor this is a polling loop (saves power and lets a sibling hyperthread run).
  static void pause_briefly() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
  }

  std::size_t workers_ = 0;
  std::mutex mutex_;
  std::condition_variable work_ready_;
  Job* head_ = nullptr;  // FIFO of jobs that may still have unclaimed chunks
  Job* tail_ = nullptr;
  // head_ != nullptr, written under the mutex and read without it by polling workers.
  std::atomic<bool> work_posted_{false};
  // When the last job's caller saw every worker leave it (steady clock ticks), the gap before the
  // latest job, and whether the latest jobs were posted soon enough after the ones before for
  // polling to pay. Hints only: a
  // stale value costs one poll or one wake-up, never a lost job.
  static constexpr std::int64_t kBackToBackTicks =
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(kBackToBack).count();
  std::atomic<std::int64_t> last_job_end_{std::numeric_limits<std::int64_t>::min() / 2};
  std::atomic<std::int64_t> last_gap_{std::numeric_limits<std::int64_t>::max()};
  std::atomic<bool> back_to_back_{false};
};

// A positive decimal integer, or nothing for an unset, empty, zero, signed or garbage value.
std::optional<std::size_t> positive_integer(const char* text) {
  if (text == nullptr || *text == '\0') return std::nullopt;
  std::size_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return std::nullopt;
    if (__builtin_mul_overflow(value, std::size_t{10}, &value) ||
        __builtin_add_overflow(value, static_cast<std::size_t>(*p - '0'), &value)) {
      return std::nullopt;
    }
  }
  if (value == 0) return std::nullopt;
  return value;
}

std::size_t configured_parallelism() {
  for (const char* name : {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}) {
    if (auto value = positive_integer(std::getenv(name))) return *value;
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : 1;
}

std::atomic<Pool*> g_pool{nullptr};
std::mutex g_create_mutex;
Pool* g_abandoned = nullptr;

// Holding the creation mutex across fork() means the child never inherits a half-made pool;
// the forking thread holds it in both processes afterwards, so both may unlock it.
void before_fork() { g_create_mutex.lock(); }
void after_fork_in_parent() { g_create_mutex.unlock(); }
void after_fork_in_child() {
  if (Pool* old = g_pool.load(std::memory_order_relaxed)) {
    old->abandoned_next = g_abandoned;
    g_abandoned = old;
  }
  g_pool.store(nullptr, std::memory_order_relaxed);
  g_create_mutex.unlock();
}

// The handlers are registered while the program or module loads, before any thread can start a
// pool. Registering them lazily, under the creation mutex, raced with a fork() in another
// thread: the registration waits for that fork, so the child either inherited the creation
// mutex locked by a thread it does not have (and hung on its first parallel call), or, when
// the registration slipped in after the fork had chosen its handlers, kept the parent's pool,
// whose workers exist only in the parent (and ran every item on the calling thread).
const bool g_fork_handlers_installed =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;

// The pool, started on first use; nullptr when it cannot be made (the caller then runs inline
// and a later call tries again). Without fork handlers no pool is made: a child could not
// tell that its pool's workers live in the parent.
Pool* acquire_pool() {
  if (Pool* pool = g_pool.load(std::memory_order_acquire)) return pool;
  if (!g_fork_handlers_installed) return nullptr;
  std::lock_guard lock(g_create_mutex);
  if (Pool* pool = g_pool.load(std::memory_order_acquire)) return pool;
  const std::size_t parallelism = configured_parallelism();
  Pool* pool = new (std::nothrow) Pool(parallelism);
  if (pool == nullptr) return nullptr;
  g_pool.store(pool, std::memory_order_release);
  return pool;
}

}  // namespace

std::size_t thread_count() {
  Pool* pool = acquire_pool();
  return pool == nullptr ? 1 : pool->workers() + 1;
}

bool on_worker_thread() { return tls_worker; }

Result<void> parallel_for(std::size_t count, Body body, std::size_t min_parallel) {
  if (count == 0) return {};
  if (count < min_parallel || count == 1 || tls_in_task) return run_inline(count, body);
  Pool* pool = acquire_pool();
  if (pool == nullptr || pool->workers() == 0) return run_inline(count, body);

  const std::size_t chunks = std::min(count, (pool->workers() + 1) * kChunksPerThread);
  Job job(body, count, (count + chunks - 1) / chunks);
  pool->run(job);
  if (job.error) return std::unexpected(std::move(*job.error));
  return {};
}

}  // namespace molarium::pool
