// The process-wide worker pool that all bulk work runs on: a parallel map over a list with
// results in input order and the first recorded failure failing the whole call.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "engine/error.hpp"

namespace molarium::pool {

// Number of worker threads: RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS (a positive integer),
// else the number of online CPUs. Starts the pool on first use.
std::size_t thread_count();

// True on a pool worker thread.
bool on_worker_thread();

// Runs body(i) for every i in [0, count), split into contiguous runs over the pool's threads;
// within a run items go in order. The calling thread helps and returns when every run has
// finished. The first failure recorded (in time) stops every run before its next item and is
// returned. A C++ exception thrown by body is caught and becomes the call's failure.
// Called from a pool thread, or with count below min_parallel, the loop runs inline.
// Safe to call from several threads at once and after fork() in the child.
Result<void> parallel_for(std::size_t count, const std::function<Result<void>(std::size_t)>& body,
                          std::size_t min_parallel = 2);

// parallel_for collecting one result per item, in input order. Partial results are released on
// failure.
template <class T, class F>
Result<std::vector<T>> parallel_map(std::size_t count, F&& item, std::size_t min_parallel = 2) {
  std::vector<std::optional<T>> slots(count);
  auto status = parallel_for(
      count,
      [&](std::size_t i) -> Result<void> {
        Result<T> value = item(i);
        if (!value) return std::unexpected(std::move(value).error());
        slots[i].emplace(std::move(*value));
        return {};
      },
      min_parallel);
  if (!status) return std::unexpected(std::move(status).error());
  std::vector<T> out;
  out.reserve(count);
  for (auto& slot : slots) out.push_back(std::move(*slot));
  return out;
}

}  // namespace molarium::pool
