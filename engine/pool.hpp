// The process-wide worker pool that all bulk work runs on: a parallel map over a list with
// results in input order and the first recorded failure failing the whole call.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/error.hpp"

namespace molarium::pool {

// A non-owning reference to a callable: dispatching one item costs one indirect call, with no
// allocation and no copy of the callable. REQUIRES: the callable outlives every use of the
// reference (a lambda passed straight to parallel_for does).
template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
 public:
  // Implicit, so a lambda converts at the call site.
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> && std::is_invocable_r_v<R, F&, Args...>)
  FunctionRef(F&& callable) noexcept
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(callable)))),
        call_([](void* object, Args... args) -> R {
          return std::invoke(*static_cast<std::remove_reference_t<F>*>(object), std::forward<Args>(args)...);
        }) {}

  R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

 private:
  void* object_;
  R (*call_)(void*, Args...);
};

// Number of threads that work on one call (the pool's workers plus the helping caller):
// RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS (a positive integer), else the number of online
// CPUs. Starts the pool on first use; the size is fixed from then on in this process (a child
// made by fork() reads the variables again when it starts its own pool).
std::size_t thread_count();

// True on a pool worker thread.
bool on_worker_thread();

// Runs body(i) for every i in [0, count), split into contiguous runs over the pool's threads;
// within a run items go in order. The calling thread helps and returns when every run has
// finished. The first failure recorded (in time) stops every run before its next item and is
// returned. A C++ exception thrown by body is caught and becomes the call's failure, an
// InvalidData error "worker task failed: <what()>" ("out of memory" for std::bad_alloc).
// Called from within a pool task (on a worker or on a helping caller), or with count below
// min_parallel, the loop runs inline on the calling thread.
// Safe to call from several threads at once, and in a child after fork(), which gets a pool
// of its own on its first call.
Result<void> parallel_for(std::size_t count, FunctionRef<Result<void>(std::size_t)> body,
                          std::size_t min_parallel = 2);

// parallel_for collecting one result per item, in input order. Partial results are released on
// failure.
template <class T, class F>
Result<std::vector<T>> parallel_map(std::size_t count, F&& item, std::size_t min_parallel = 2) {
  std::vector<std::optional<T>> slots(count);
  auto collect = [&](std::size_t i) -> Result<void> {
    // Moved straight from the result into its slot: g++ 12 misreads a variant moved through a
    // local as maybe uninitialised.
    Result<T> value = item(i);
    if (!value) return std::unexpected(std::move(value).error());
    slots[i].emplace(std::move(*value));
    return {};
  };
  MOLARIUM_TRY_VOID(parallel_for(count, collect, min_parallel));
  std::vector<T> out;
  out.reserve(count);
  for (auto& slot : slots) out.push_back(std::move(*slot));
  return out;
}

}  // namespace molarium::pool
